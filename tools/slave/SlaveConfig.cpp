#include "SlaveConfig.h"

#include <cstdio>
#include <map>

#include "hosting/PluginChain.h"

#if TOVIK_HAVE_TOML
#include <toml++/toml.h>
#endif

namespace tovik::slave {

#if TOVIK_HAVE_TOML

namespace {

std::string Where(const std::string& path, const toml::source_region& region) {
  return path + ":" + std::to_string(region.begin.line) + ":" + std::to_string(region.begin.column);
}

std::string Where(const std::string& path, const toml::node& node) {
  return Where(path, node.source());
}

// Every key of table must be one of allowed.
bool OnlyKnownKeys(const std::string& path, const toml::table& table,
                   std::initializer_list<const char*> allowed, const char* what, std::string* error) {
  for (const auto& [key, value] : table) {
    bool known = false;
    for (const char* name : allowed) known = known || key.str() == name;
    if (!known) {
      std::string names;
      for (const char* name : allowed) names += std::string(names.empty() ? "" : ", ") + name;
      *error = Where(path, value) + ": unknown key '" + std::string(key.str()) + "' in " + what +
               " (known: " + names + ")";
      return false;
    }
  }
  return true;
}

// A control's value as the text --set takes: numbers only (true and false
// as 1 and 0, for switches).
bool ValueText(const toml::node& node, std::string* text) {
  char buffer[64];
  if (const auto* integer = node.as_integer()) {
    std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(integer->get()));
  } else if (const auto* real = node.as_floating_point()) {
    std::snprintf(buffer, sizeof buffer, "%.17g", real->get());
  } else if (const auto* flag = node.as_boolean()) {
    std::snprintf(buffer, sizeof buffer, "%d", flag->get() ? 1 : 0);
  } else {
    return false;
  }
  *text = buffer;
  return true;
}

bool ReadPlugin(const std::string& path, const toml::node& node, hosting::CChainBuilder& builder,
                std::vector<std::string>* warnings, std::string* error) {
  const toml::table* plugin = node.as_table();
  if (plugin == nullptr) {
    *error = Where(path, node) + ": a plug-in is a table such as { uri = \"...\", set = { name = value } }";
    return false;
  }
  if (!OnlyKnownKeys(path, *plugin, {"uri", "path", "set"}, "a plug-in", error)) return false;
  const toml::node* uri = plugin->get("uri");
  const toml::node* file = plugin->get("path");
  if ((uri == nullptr) == (file == nullptr)) {
    *error = Where(path, node) + ": a plug-in needs either uri (LV2) or path (VST 2.4 .so), not both";
    return false;
  }
  const toml::node* id = uri != nullptr ? uri : file;
  if (!id->is_string() || id->as_string()->get().empty()) {
    *error = Where(path, *id) + ": " + (uri != nullptr ? "uri" : "path") + " must be a non-empty string";
    return false;
  }
  std::string message;
  if (!builder.AddPlugin(id->as_string()->get(), &message)) {
    *error = Where(path, *id) + ": " + message;
    return false;
  }
  const toml::node* set = plugin->get("set");
  if (set == nullptr) return true;
  const toml::table* controls = set->as_table();
  if (controls == nullptr) {
    *error = Where(path, *set) + ": set is a table of controls, such as set = { gain = -6.0 }";
    return false;
  }
  for (const auto& [key, value] : *controls) {
    std::string text;
    if (!ValueText(value, &text)) {
      *error = Where(path, value) + ": the value of '" + std::string(key.str()) + "' must be a number";
      return false;
    }
    std::vector<std::string> clamped;
    if (!builder.AddSetting(std::string(key.str()) + "=" + text, &message, &clamped)) {
      *error = Where(path, value) + ": " + message;
      return false;
    }
    for (const std::string& warning : clamped) warnings->push_back(Where(path, value) + ": " + warning);
  }
  return true;
}

bool ReadPort(const std::string& path, const toml::table& table, hosting::CChainBuilder& builder,
              PortConfig* port, std::vector<std::string>* warnings, std::string* error) {
  port->where = Where(path, table);
  if (!OnlyKnownKeys(path, table, {"port", "bind", "gain", "echo-events", "plugins"}, "a [[slave]] table",
                     error)) {
    return false;
  }
  const toml::node* number = table.get("port");
  if (number == nullptr) {
    *error = port->where + ": this [[slave]] table has no port";
    return false;
  }
  const auto* integer = number->as_integer();
  if (integer == nullptr || integer->get() < 1 || integer->get() > 65535) {
    *error = Where(path, *number) + ": port must be a whole number from 1 to 65535";
    return false;
  }
  port->port = static_cast<uint16_t>(integer->get());
  if (const toml::node* bind = table.get("bind")) {
    if (!bind->is_string() || bind->as_string()->get().empty()) {
      *error = Where(path, *bind) + ": bind must be an address such as \"127.0.0.1\"";
      return false;
    }
    port->bind = bind->as_string()->get();
  }
  if (const toml::node* echo = table.get("echo-events")) {
    if (!echo->is_boolean()) {
      *error = Where(path, *echo) + ": echo-events must be true or false";
      return false;
    }
    port->echoEvents = echo->as_boolean()->get();
  }
  if (const toml::node* gain = table.get("gain")) {
    const std::optional<double> db = gain->value<double>();
    if (!db || !(*db >= -200.0 && *db <= 60.0)) {
      *error = Where(path, *gain) + ": gain must be a number of dB from -200 to 60";
      return false;
    }
    port->hasGain = true;
    port->gainDb = *db;
  }
  if (const toml::node* plugins = table.get("plugins")) {
    const toml::array* list = plugins->as_array();
    if (list == nullptr) {
      *error = Where(path, *plugins) + ": plugins must be an array of plug-in tables";
      return false;
    }
    if (port->hasGain && !list->empty()) {
      *error = Where(path, *table.get("gain")) + ": gain applies without plugins only";
      return false;
    }
    for (const toml::node& plugin : *list) {
      if (!ReadPlugin(path, plugin, builder, warnings, error)) return false;
    }
    if (!builder.Empty()) port->chain = builder.Take();
  }
  return true;
}

}  // namespace

bool ConfigFilesSupported() {
  return true;
}

bool ReadSlaveConfig(const std::string& path, hosting::CChainBuilder& builder, std::vector<PortConfig>* ports,
                     std::vector<std::string>* warnings, std::string* error) {
  ports->clear();
  toml::table root;
#if TOML_EXCEPTIONS
  try {
    root = toml::parse_file(path);
  } catch (const toml::parse_error& failure) {
    *error = Where(path, failure.source()) + ": " + std::string(failure.description());
    return false;
  }
#else
  toml::parse_result parsed = toml::parse_file(path);
  if (!parsed) {
    *error = Where(path, parsed.error().source()) + ": " + std::string(parsed.error().description());
    return false;
  }
  root = std::move(parsed).table();
#endif
  if (!OnlyKnownKeys(path, root, {"slave"}, "the file", error)) return false;
  const toml::node* slaves = root.get("slave");
  const toml::array* list = slaves != nullptr ? slaves->as_array() : nullptr;
  if (list == nullptr || !list->is_array_of_tables() || list->empty()) {
    *error = path + ":1:1: no [[slave]] table (each names a port and its chain)";
    return false;
  }
  std::map<uint16_t, std::string> seen;
  for (const toml::node& node : *list) {
    PortConfig port;
    if (!ReadPort(path, *node.as_table(), builder, &port, warnings, error)) return false;
    const auto [at, added] = seen.emplace(port.port, port.where);
    if (!added) {
      *error = port.where + ": port " + std::to_string(port.port) + " is given twice (first at " +
               at->second + ")";
      return false;
    }
    ports->push_back(std::move(port));
  }
  return true;
}

#else

bool ConfigFilesSupported() {
  return false;
}

bool ReadSlaveConfig(const std::string& path, hosting::CChainBuilder&, std::vector<PortConfig>*,
                     std::vector<std::string>*, std::string* error) {
  *error = "cannot read " + path + ": this tovik-slave was built without toml++ (libtomlplusplus-dev)";
  return false;
}

#endif

}  // namespace tovik::slave

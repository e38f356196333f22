// LV2 plug-ins in the slave, through lilv: the world is loaded once when the
// slave starts, every plug-in of the chain is found and checked then, and
// each connection instantiates its own.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "HostedPlugin.h"

namespace tovik::slave::hosting {

class CLv2Host {
 public:
  // Loads every LV2 bundle lilv finds (LV2_PATH or its default places).
  CLv2Host();
  ~CLv2Host();
  CLv2Host(const CLv2Host&) = delete;
  CLv2Host& operator=(const CLv2Host&) = delete;

  // The plug-in of this URI, checked: every feature it requires is one the
  // slave provides, every port is one it can connect. Null with a message
  // otherwise.
  std::shared_ptr<const IPluginType> Find(const std::string& uri, std::string* error);
  // One line per plug-in: URI, name, audio ins/outs, MIDI in/out.
  void List(std::FILE* out);
  // The URID map every instance gets: the ID of a URI (the same for the
  // same text, 0 for none), and the URI of an ID (null for one not given).
  // A URI's text stays at the same place for the host's whole life.
  uint32_t MapUri(const char* uri);
  const char* UnmapUri(uint32_t id);

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace tovik::slave::hosting

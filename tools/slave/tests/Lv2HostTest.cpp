// The LV2 host's own services, without the session: the URID map the
// plug-ins share, and the atom sequences an instance is given.
#if TOVIK_HAVE_LILV

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "hosting/Lv2Plugin.h"

namespace tovik::slave::test {
namespace {

const char kFifths[] = "http://lv2plug.in/plugins/eg-fifths";

TEST(Lv2Host, AnUnmappedUriStaysWhereItWasWhileMoreUrisAreMapped) {
  hosting::CLv2Host host;
  // Short URIs too: their text must not move when the table grows.
  const uint32_t first = host.MapUri("urn:a");
  const uint32_t second = host.MapUri("urn:tovik:test:a-longer-uri-than-the-first");
  ASSERT_NE(first, 0u);
  ASSERT_NE(second, 0u);
  ASSERT_NE(first, second);
  const char* firstText = host.UnmapUri(first);
  const char* secondText = host.UnmapUri(second);
  ASSERT_NE(firstText, nullptr);
  ASSERT_NE(secondText, nullptr);
  for (int i = 0; i < 1000; ++i) host.MapUri(("urn:" + std::to_string(i)).c_str());
  EXPECT_EQ(host.UnmapUri(first), firstText);
  EXPECT_EQ(host.UnmapUri(second), secondText);
  EXPECT_STREQ(firstText, "urn:a");
  EXPECT_STREQ(secondText, "urn:tovik:test:a-longer-uri-than-the-first");
  EXPECT_EQ(host.MapUri("urn:a"), first);
  EXPECT_EQ(host.UnmapUri(0), nullptr);
  EXPECT_EQ(host.UnmapUri(100000), nullptr);
}

// Frames of the messages an instance of eg-fifths sends for the messages in.
std::vector<int32_t> FifthsFrames(const std::vector<int32_t>& framesIn, std::string* error) {
  hosting::CLv2Host host;
  const std::shared_ptr<const hosting::IPluginType> type = host.Find(kFifths, error);
  if (!type) return {};
  std::unique_ptr<hosting::IPluginInstance> instance =
      type->Instantiate(48000.0, 64, type->DefaultControls(), error);
  if (!instance) return {};
  instance->Activate();
  hosting::CEventList in, out;
  for (size_t i = 0; i < framesIn.size(); ++i) {
    const unsigned char note[3] = {0x90, static_cast<unsigned char>(60 + i), 100};
    in.Add(framesIn[i], note, sizeof note);
  }
  instance->Run(64, in, &out);
  instance->Deactivate();
  std::vector<int32_t> frames;
  for (size_t i = 0; i < out.Count(); ++i) frames.push_back(out.At(i).frame);
  return frames;
}

TEST(Lv2Host, MessagesOutOfFrameOrderReachThePluginAsASequenceInTimeOrder) {
  std::string error;
  const std::vector<int32_t> sorted = FifthsFrames({5, 20}, &error);
  if (sorted.empty()) GTEST_SKIP() << "eg-fifths (lv2-examples) is not installed: " << error;
  EXPECT_EQ(sorted, (std::vector<int32_t>{5, 5, 20, 20}));
  // What a plug-in before it in the chain sent out of order: an atom sequence
  // is in time order, so a message earlier than the one before it is taken at
  // that one's frame.
  EXPECT_EQ(FifthsFrames({20, 5, 30, 10}, &error), (std::vector<int32_t>{20, 20, 20, 20, 30, 30, 30, 30}));
}

}  // namespace
}  // namespace tovik::slave::test

#endif

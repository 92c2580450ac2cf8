#include "driver/tools/pelgarsim_capture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "driver/simcard/firmware_image.h"
#include "driver/simcard/mpeg_stream.h"
#include "driver/simcard/stream_checkers.h"
#include "driver/tools/pelgarsim_report.h"

namespace pelgarsim {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

Inputs CardInputs(const std::string& file) {
  std::ifstream in(std::string(TV_CARDS_DIR) + "/" + file);
  std::stringstream text;
  text << in.rdbuf();
  Inputs inputs;
  simcard::ParseResult parsed = simcard::ParseCardFile(text.str(), &inputs.card);
  EXPECT_TRUE(parsed.ok) << file << ":" << parsed.line << ": " << parsed.error;
  inputs.driverFiles.emplace_back(simcard::kFirmwareFileName, simcard::TestFirmwareImage());
  return inputs;
}

PropertyWrite Set(const std::string& text) {
  PropertyWrite w;
  std::string error;
  EXPECT_TRUE(ParseSet(text, &w, &error)) << text << ": " << error;
  return w;
}

const StreamResult* Stream(const Report& r, const std::string& name) {
  if (!r.capture) return nullptr;
  for (const StreamResult& s : r.capture->streams)
    if (s.name == name) return &s;
  return nullptr;
}

TEST(PelgarSimCapture, SetValuesBecomeThePropertysLittleEndianBytes) {
  const struct {
    const char* text;
    ULONG id;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"9=14", 9, {14, 0, 0, 0}},
      {"3=0x0F", 3, {15}},
      {"11=0x01020304", 11, {4, 3, 2, 1}},
      {"1=1,4000000,6000000", 1, {1, 0, 0, 0, 0x00, 0x09, 0x3D, 0x00, 0x80, 0x8D, 0x5B, 0x00}},
      {"10=3,1,0,31,15,1,2,3,0x104", 10, {3, 0, 0, 0, 1, 0, 31, 0, 15, 0, 1, 0, 2, 0, 3, 0, 4, 1, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    PropertyWrite w = Set(c.text);
    EXPECT_EQ(w.id, c.id);
    EXPECT_EQ(w.value, c.bytes);
    EXPECT_EQ(w.text, c.text);
  }
}

TEST(PelgarSimCapture, SetRefusesWhatThePropertyCannotTake) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"9", "needs ID=VALUE"},
      {"x=1", "needs ID=VALUE"},
      {"0=1", "property 0 cannot be set"},    // read-only: the version
      {"12=1", "property 12 cannot be set"},  // no such property
      {"3=256", "bad value '256' for property 3 (8-bit number)"},
      {"9=-1", "bad value '-1'"},
      {"9=", "bad value ''"},
      {"1=1,4000000", "property 1 takes 3 value(s), not 2"},
      {"9=1,2", "property 9 takes 1 value(s), not 2"},
      {"10=1,1,1,1,1,1,1,1,65536", "bad value '65536' for property 10 (16-bit number)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    PropertyWrite w;
    w.id = 77;
    std::string error;
    EXPECT_FALSE(ParseSet(c.text, &w, &error));
    EXPECT_THAT(error, HasSubstr(c.error));
    EXPECT_EQ(w.id, 77u) << "nothing written on failure";
  }
}

TEST(PelgarSimCapture, StreamListNamesEachKnownStreamOnce) {
  std::vector<std::string> streams{"kept"};
  std::string error;
  EXPECT_TRUE(ParseStreamList("mpeg", &streams, &error)) << error;
  EXPECT_THAT(streams, ElementsAre("mpeg"));
  const struct {
    const char* text;
    const char* error;
  } cases[] = {{"", "unknown stream ''"},
               {"mpeg,", "unknown stream ''"},
               {"tv", "unknown stream 'tv'"},
               {"mpeg,mpeg", "stream 'mpeg' given twice"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_FALSE(ParseStreamList(c.text, &streams, &error));
    EXPECT_THAT(error, HasSubstr(c.error));
    EXPECT_THAT(streams, ElementsAre("mpeg"));
  }
  for (const std::string& name : StreamNames()) {
    std::string why;
    if (!StreamBuilt(name, &why)) {
      EXPECT_EQ(why, "the " + name + " stream is not built yet");
    }
  }
}

TEST(PelgarSimCapture, MpegArrivesIntactAndTheFileHoldsItInDeliveryOrder) {
  const std::string dir = (std::filesystem::path(testing::TempDir()) / "pelgarsim-mpeg").string();
  std::filesystem::remove_all(dir);
  Inputs inputs = CardInputs("kind1.card");
  inputs.capture.streams = {"mpeg"};
  inputs.capture.buffers = 12;
  inputs.capture.outDir = dir;
  Report r = Simulate(inputs);
  ASSERT_TRUE(r.capture.has_value());
  EXPECT_EQ(r.capture->error, "");
  const StreamResult* mpeg = Stream(r, "mpeg");
  ASSERT_NE(mpeg, nullptr);
  EXPECT_TRUE(mpeg->intact);
  EXPECT_GE(mpeg->buffers, 12u);
  EXPECT_EQ(mpeg->bytes, mpeg->tally.intact * simcard::kMpegPackBytes);
  EXPECT_EQ(mpeg->discontinuities, 1u) << "the first buffer after run";
  EXPECT_EQ(r.poolOutstanding, 0u);
  EXPECT_TRUE(r.Clean());
  ASSERT_THAT(r.capture->files, ElementsAre(dir + "/capture.mpg"));

  std::ifstream in(dir + "/capture.mpg", std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes.size(), mpeg->bytes);
  simcard::MpegStreamChecker checker;
  checker.Feed(bytes.data(), bytes.size());
  EXPECT_EQ(checker.Result().packs, mpeg->tally.intact);
  EXPECT_EQ(checker.Result().lost + checker.Result().damaged + checker.Result().duplicated, 0u);
  std::filesystem::remove_all(dir);
}

TEST(PelgarSimCapture, EveryBuiltStreamArrivesIntactTogetherWithTheOthers) {
  const std::string dir = (std::filesystem::path(testing::TempDir()) / "pelgarsim-all").string();
  std::filesystem::remove_all(dir);
  Inputs inputs = CardInputs("kind3.card");
  for (const std::string& name : StreamNames()) {
    std::string why;
    if (StreamBuilt(name, &why)) inputs.capture.streams.push_back(name);
  }
  inputs.capture.buffers = 4;
  inputs.capture.outDir = dir;
  Report r = Simulate(inputs);
  ASSERT_TRUE(r.capture.has_value());
  EXPECT_EQ(r.capture->error, "");
  ASSERT_EQ(r.capture->streams.size(), inputs.capture.streams.size());
  for (const StreamResult& s : r.capture->streams) {
    SCOPED_TRACE(s.name);
    EXPECT_TRUE(s.intact);
    EXPECT_GE(s.buffers, 4u);
    EXPECT_GT(s.tally.intact, 0u);
    EXPECT_EQ(s.tally.damaged + s.tally.duplicated + s.tally.reordered, 0u);
  }
  EXPECT_TRUE(r.Clean());
  EXPECT_EQ(r.poolOutstanding, 0u);
  for (const std::string& f : r.capture->files) EXPECT_TRUE(std::filesystem::exists(f)) << f;
  // The graph: every filter of the card open, the capture filter's format hand-over joined to the encoder.
  EXPECT_THAT(r.capture->filters, ElementsAre("encoder", "video capture", "TV audio", "crossbar", "tuner"));
  EXPECT_THAT(r.capture->joins, ElementsAre("video capture pin 5 -> encoder pin 0"));
  std::filesystem::remove_all(dir);
}

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(PelgarSimCapture, FilesHoldWhatArrivedOfEachStream) {
  const std::string dir = (std::filesystem::path(testing::TempDir()) / "pelgarsim-files").string();
  std::filesystem::remove_all(dir);
  Inputs inputs = CardInputs("kind1.card");
  inputs.capture.streams = {"video", "audio", "vbi", "aux"};
  inputs.capture.buffers = 3;
  inputs.capture.outDir = dir;
  Report r = Simulate(inputs);
  ASSERT_TRUE(r.capture.has_value());
  ASSERT_EQ(r.capture->error, "");
  ASSERT_TRUE(r.Clean());

  // One picture per frame, each a 720 x 480 RGB PNG.
  size_t pictures = 0;
  for (const std::string& f : r.capture->files) {
    if (f.find("/video-") == std::string::npos) continue;
    std::vector<uint8_t> png = ReadAll(f);
    ASSERT_GT(png.size(), 33u);
    EXPECT_EQ(std::string(png.begin() + 12, png.begin() + 16), "IHDR");
    EXPECT_EQ(png[19] | png[18] << 8, 720) << f;
    EXPECT_EQ(png[23] | png[22] << 8, 480) << f;
    ++pictures;
  }
  EXPECT_EQ(pictures, Stream(r, "video")->buffers);

  // The PCM as it arrived, at the encoder's rate (the audio word's default selects 48 kHz).
  std::vector<uint8_t> wav = ReadAll(dir + "/audio.wav");
  ASSERT_EQ(wav.size(), 44 + Stream(r, "audio")->bytes);
  EXPECT_EQ(wav[24] | wav[25] << 8 | wav[26] << 16, 48000);
  simcard::RawAudioChecker audio;
  audio.Feed(wav.data() + 44, wav.size() - 44);
  EXPECT_EQ(audio.Result().intact, Stream(r, "audio")->tally.intact);
  EXPECT_TRUE(audio.Result().Clean());

  // The VBI lines field after field (12 lines of the 525-line standard), and the records in order.
  std::vector<uint8_t> lines = ReadAll(dir + "/vbi-lines.raw");
  ASSERT_EQ(lines.size(), Stream(r, "vbi")->bytes);
  simcard::VbiChecker vbi(12);
  for (size_t at = 0; at + 12 * simcard::kVbiLineBytes <= lines.size(); at += 12 * simcard::kVbiLineBytes)
    vbi.Feed(lines.data() + at, 12 * simcard::kVbiLineBytes);
  EXPECT_EQ(vbi.Result().intact, Stream(r, "vbi")->buffers);
  EXPECT_TRUE(vbi.Result().Clean());
  std::vector<uint8_t> records = ReadAll(dir + "/aux-records.bin");
  ASSERT_EQ(records.size(), Stream(r, "aux")->bytes);
  ASSERT_GE(records.size(), 24u);
  EXPECT_EQ(records[8] | records[9] << 8 | records[10] << 16 | records[11] << 24, 0x52585541);
  std::filesystem::remove_all(dir);
}

TEST(PelgarSimCapture, SecondsCountTheCardsTimeAndSetsApplyBeforeTheRun) {
  auto run = [](const std::string& rates) {
    Inputs inputs = CardInputs("kind2.card");
    inputs.capture.streams = {"mpeg"};
    inputs.capture.duration = ksim::kSecond;
    inputs.capture.sets = {Set(rates)};
    return Simulate(inputs);
  };
  Report slow = run("1=1,2000000,3000000");
  Report fast = run("1=1,6000000,9000000");
  for (const Report* r : {&slow, &fast}) {
    ASSERT_TRUE(r->capture.has_value());
    EXPECT_EQ(r->capture->ran, ksim::kSecond);
    ASSERT_EQ(r->capture->sets.size(), 1u);
    EXPECT_EQ(r->capture->sets[0].second, STATUS_SUCCESS);
    EXPECT_TRUE(r->Clean());
  }
  // One second of a 2 and a 6 Mbit/s stream: at most 122 and 366 packs of 2048 bytes, less the start.
  const double slowPacks = static_cast<double>(Stream(slow, "mpeg")->tally.intact);
  const double fastPacks = static_cast<double>(Stream(fast, "mpeg")->tally.intact);
  EXPECT_GE(slowPacks, 105.0);
  EXPECT_LE(slowPacks, 122.0);
  EXPECT_NEAR(fastPacks / slowPacks, 3.0, 0.1);
}

TEST(PelgarSimCapture, APropertyTheDriverRefusesMakesTheRunUnclean) {
  Inputs inputs = CardInputs("kind1.card");
  inputs.capture.streams = {"mpeg"};
  inputs.capture.buffers = 2;
  inputs.capture.sets = {Set("5=9")};  // audio data rate codes run from 10 to 14
  Report r = Simulate(inputs);
  ASSERT_TRUE(r.capture.has_value());
  ASSERT_EQ(r.capture->sets.size(), 1u);
  EXPECT_EQ(r.capture->sets[0].second, STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(Stream(r, "mpeg")->intact) << "the stream still runs with the settings it had";
  EXPECT_FALSE(r.Clean());
  EXPECT_THAT(Json(r), HasSubstr("\"status\": \"0xC000000D\""));
}

TEST(PelgarSimCapture, JsonCarriesTheStreamsObject) {
  Inputs inputs = CardInputs("kind0.card");
  inputs.capture.streams = {"mpeg"};
  inputs.capture.buffers = 3;
  Report r = Simulate(inputs);
  const std::string json = Json(r);
  for (const char* member : {"\"streams\": {", "\"mpeg\": {", "\"buffers\": ", "\"bytes\": ", "\"dropped\": 0,",
                             "\"discontinuities\": 1,", "\"intact\": true", "\"poolOutstanding\": 0,"})
    EXPECT_THAT(json, HasSubstr(member));
  EXPECT_THAT(Json(Simulate(CardInputs("kind0.card"))), testing::Not(HasSubstr("\"streams\"")))
      << "without a capture the report is as before";
}

}  // namespace
}  // namespace pelgarsim

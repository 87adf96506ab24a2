#include "core/avi_writer.h"

#include <gtest/gtest.h>

#include "core/jpeg_writer.h"
#include "core/testing/test_support.h"

namespace qxcore {
namespace {

using testing::ParseAvi;
using testing::ReadFileBytes;
using testing::WorkFolder;

std::vector<uint8_t> Jpeg(int width, int height, uint8_t shade) {
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 3, shade);
  std::vector<uint8_t> jpeg;
  EXPECT_TRUE(EncodeJpeg(pixels.data(), width, height, JpegInput::kBgr, 75, jpeg));
  return jpeg;
}

TEST(AviWriterTest, WritesAReadableMotionJpegStream) {
  WorkFolder folder;
  const std::string path = folder.File("stream.avi");
  AviWriter writer;
  ASSERT_TRUE(writer.Open(path, 64, 48, 66667));
  std::vector<std::vector<uint8_t>> written;
  for (int i = 0; i < 5; ++i) {
    written.push_back(Jpeg(64, 48, static_cast<uint8_t>(40 * i)));
    ASSERT_TRUE(writer.AddFrame(written.back().data(), written.back().size()));
  }
  // An odd-length chunk is padded to an even length; the reader must still find every chunk.
  written.push_back({0xFF, 0xD8, 0xFF, 0xD9, 0x00});
  ASSERT_TRUE(writer.AddFrame(written.back().data(), written.back().size()));
  EXPECT_EQ(writer.frameCount(), 6u);
  ASSERT_TRUE(writer.Close());
  EXPECT_FALSE(writer.isOpen());

  const auto avi = ParseAvi(ReadFileBytes(path));
  ASSERT_EQ(avi.error, "");
  EXPECT_EQ(avi.microSecondsPerFrame, 66667u);
  EXPECT_EQ(avi.totalFrames, 6u);
  EXPECT_EQ(avi.length, 6u);
  EXPECT_EQ(avi.streams, 1u);
  EXPECT_EQ(avi.width, 64u);
  EXPECT_EQ(avi.height, 48u);
  EXPECT_EQ(avi.streamType, "vids");
  EXPECT_EQ(avi.handler, "MJPG");
  EXPECT_EQ(avi.compression, "MJPG");
  EXPECT_NEAR(static_cast<double>(avi.rate) / avi.scale, 15.0, 0.001);
  EXPECT_EQ(avi.frames, written);
}

TEST(AviWriterTest, EmptyStreamAndRefusedCalls) {
  WorkFolder folder;
  AviWriter writer;
  const uint8_t byte = 0;
  EXPECT_FALSE(writer.AddFrame(&byte, 1));  // not open
  EXPECT_FALSE(writer.Close());
  EXPECT_FALSE(writer.Open(folder.File("zero.avi"), 0, 48, 66667));
  EXPECT_FALSE(writer.Open(folder.File("missing/x.avi"), 64, 48, 66667));
  ASSERT_TRUE(writer.Open(folder.File("empty.avi"), 64, 48, 66667));
  EXPECT_FALSE(writer.Open(folder.File("again.avi"), 64, 48, 66667));  // already open
  ASSERT_TRUE(writer.Close());
  const auto avi = ParseAvi(ReadFileBytes(folder.File("empty.avi")));
  EXPECT_EQ(avi.error, "");
  EXPECT_EQ(avi.totalFrames, 0u);
  EXPECT_TRUE(avi.frames.empty());
}

TEST(AviWriterTest, StopsAtItsSizeLimitWithAValidFile) {
  WorkFolder folder;
  const std::string path = folder.File("limited.avi");
  const std::vector<uint8_t> frame(1000, 0x55);
  {
    AviWriter writer(5000);
    ASSERT_TRUE(writer.Open(path, 32, 32, 66667));
    int added = 0;
    while (writer.AddFrame(frame.data(), frame.size())) ++added;
    EXPECT_EQ(added, 4);  // 224 header bytes + 4 x 1008 + index 8 + 4 x 16 = 4328; a fifth passes 5000
    EXPECT_EQ(writer.frameCount(), 4u);
    // The destructor closes the file.
  }
  const auto bytes = ReadFileBytes(path);
  EXPECT_LE(bytes.size(), 5000u);
  const auto avi = ParseAvi(bytes);
  EXPECT_EQ(avi.error, "");
  EXPECT_EQ(avi.totalFrames, 4u);
  EXPECT_EQ(avi.frames.size(), 4u);
}

TEST(AviWriterTest, WriteErrorsAreReported) {
  WorkFolder folder;
  AviWriter writer;
  ASSERT_TRUE(writer.Open(folder.File("full.avi"), 32, 32, 66667));
  const std::vector<uint8_t> frame(64 * 1024, 1);
  bool failed = false;
  {
    testing::FileSizeLimit limit(100 * 1024);  // the disk fills up during the second frame
    ASSERT_TRUE(limit.active());
    for (int i = 0; i < 4 && !failed; ++i) failed = !writer.AddFrame(frame.data(), frame.size());
    if (!failed) failed = !writer.Close();
  }
  EXPECT_TRUE(failed);
  EXPECT_FALSE(writer.AddFrame(frame.data(), 10));  // stays failed
}

}  // namespace
}  // namespace qxcore

#include "core/v4l2_device.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "core/jpeg_writer.h"
#include "core/testing/test_support.h"

namespace qxcore {
namespace {

using testing::WorkFolder;

TEST(V4l2NodesTest, FoldersWithoutCaptureNodesListNone) {
  WorkFolder folder;
  EXPECT_TRUE(ListV4l2CaptureNodes(folder.path()).empty());
  EXPECT_TRUE(ListV4l2CaptureNodes(folder.File("missing")).empty());
  // Things named like nodes that are no capture devices: a plain file, a character device
  // that is not V4L2, a folder, and names that only look similar.
  std::ofstream(folder.File("video0")) << "not a device";
  std::filesystem::create_symlink("/dev/null", folder.File("video1"));
  std::filesystem::create_directory(folder.File("video2"));
  std::ofstream(folder.File("videoX"));
  std::ofstream(folder.File("video"));
  std::ofstream(folder.File("video99999999999999"));
  EXPECT_TRUE(ListV4l2CaptureNodes(folder.path()).empty());
  EXPECT_EQ(OpenV4l2Device(folder.File("video0")), nullptr);
  EXPECT_EQ(OpenV4l2Device(folder.File("video1")), nullptr);
  EXPECT_EQ(OpenV4l2Device(folder.File("absent")), nullptr);
}

v4l2_pix_format Format(uint32_t fourcc, uint32_t width, uint32_t height, uint32_t bytesPerLine,
                       uint32_t size) {
  v4l2_pix_format format{};
  format.pixelformat = fourcc;
  format.width = width;
  format.height = height;
  format.bytesperline = bytesPerLine;
  format.sizeimage = size;
  format.field = V4L2_FIELD_NONE;
  return format;
}

class FrameConverterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    converter_ = FrameConverter::ForRecordedFrames();
    ASSERT_NE(converter_, nullptr);
  }
  std::unique_ptr<FrameConverter> converter_;
};

TEST_F(FrameConverterTest, PackedYuvBecomesBgr) {
  // YUYV pairs: Y0 U Y1 V. Neutral chroma (128) gives grey at the luma level.
  const uint32_t width = 4;
  const uint32_t height = 2;
  std::vector<uint8_t> yuyv;
  for (uint32_t i = 0; i < width * height / 2; ++i) yuyv.insert(yuyv.end(), {40, 128, 200, 128});
  std::vector<uint8_t> bgr;
  ASSERT_TRUE(converter_->Convert(Format(V4L2_PIX_FMT_YUYV, width, height, width * 2, 16),
                                  yuyv.data(), yuyv.size(), bgr))
      << converter_->LastError();
  ASSERT_EQ(bgr.size(), width * height * 3);
  for (uint32_t pixel = 0; pixel < width * height; ++pixel) {
    const int expected = pixel % 2 == 0 ? 40 : 200;
    for (int channel = 0; channel < 3; ++channel) {
      EXPECT_NEAR(bgr[pixel * 3 + channel], expected, 24) << pixel;
    }
    EXPECT_EQ(bgr[pixel * 3], bgr[pixel * 3 + 2]) << "grey has equal blue and red";
  }
  // Strong red chroma (V high) makes red exceed blue.
  std::vector<uint8_t> reddish(16);
  for (size_t i = 0; i < 16; i += 4) {
    reddish[i] = reddish[i + 2] = 100;
    reddish[i + 1] = 128;
    reddish[i + 3] = 240;
  }
  ASSERT_TRUE(converter_->Convert(Format(V4L2_PIX_FMT_YUYV, width, height, width * 2, 16),
                                  reddish.data(), reddish.size(), bgr));
  EXPECT_GT(bgr[2], bgr[0] + 60);
}

TEST_F(FrameConverterTest, RgbFramesSwapToBgrExactly) {
  std::vector<uint8_t> rgb;
  for (int i = 0; i < 6; ++i) rgb.insert(rgb.end(), {uint8_t(10 * i), uint8_t(100 + i), uint8_t(250 - i)});
  std::vector<uint8_t> bgr;
  ASSERT_TRUE(converter_->Convert(Format(V4L2_PIX_FMT_RGB24, 3, 2, 9, 18), rgb.data(), rgb.size(), bgr));
  for (size_t i = 0; i < rgb.size(); i += 3) {
    EXPECT_EQ(bgr[i], rgb[i + 2]);
    EXPECT_EQ(bgr[i + 1], rgb[i + 1]);
    EXPECT_EQ(bgr[i + 2], rgb[i]);
  }
}

TEST_F(FrameConverterTest, MotionJpegFramesAreDecoded) {
  const int width = 32;
  const int height = 16;
  std::vector<uint8_t> picture;
  for (int i = 0; i < width * height; ++i) picture.insert(picture.end(), {30, 90, 220});  // BGR
  std::vector<uint8_t> jpeg;
  ASSERT_TRUE(EncodeJpeg(picture.data(), width, height, JpegInput::kBgr, 95, jpeg));
  std::vector<uint8_t> bgr;
  ASSERT_TRUE(converter_->Convert(Format(V4L2_PIX_FMT_MJPEG, width, height, 0,
                                         static_cast<uint32_t>(jpeg.size())),
                                  jpeg.data(), jpeg.size(), bgr))
      << converter_->LastError();
  ASSERT_EQ(bgr.size(), picture.size());
  for (size_t i = 0; i < bgr.size(); ++i) EXPECT_NEAR(bgr[i], picture[i], 12) << i;
}

TEST_F(FrameConverterTest, ShortAndCorruptFramesAreRefused) {
  std::vector<uint8_t> bgr;
  const std::vector<uint8_t> yuyv(640 * 480 * 2, 128);
  const auto vga = Format(V4L2_PIX_FMT_YUYV, 640, 480, 1280, 640 * 480 * 2);
  for (size_t size : {size_t{0}, size_t{1}, size_t{1280}, yuyv.size() - 1}) {
    EXPECT_FALSE(converter_->Convert(vga, yuyv.data(), size, bgr)) << size;
  }
  EXPECT_TRUE(converter_->Convert(vga, yuyv.data(), yuyv.size(), bgr));
  EXPECT_FALSE(converter_->Convert(Format(V4L2_PIX_FMT_YUYV, 0, 480, 0, 0), yuyv.data(), yuyv.size(), bgr));
  EXPECT_FALSE(converter_->Convert(Format(V4L2_PIX_FMT_YUYV, 100000, 2, 0, 0), yuyv.data(), yuyv.size(), bgr));
  // Bytes that are no JPEG, and a JPEG cut short.
  const std::vector<uint8_t> noise(5000, 0x5A);
  EXPECT_FALSE(converter_->Convert(Format(V4L2_PIX_FMT_MJPEG, 64, 48, 0, 5000), noise.data(), noise.size(), bgr));
  std::vector<uint8_t> picture(64 * 48 * 3, 77);
  std::vector<uint8_t> jpeg;
  ASSERT_TRUE(EncodeJpeg(picture.data(), 64, 48, JpegInput::kBgr, 80, jpeg));
  for (size_t size = 0; size < jpeg.size(); size += 37) {
    // A cut JPEG may decode to a partial picture or be refused; it must never read beyond it.
    (void)converter_->Convert(Format(V4L2_PIX_FMT_MJPEG, 64, 48, 0, static_cast<uint32_t>(size)),
                              jpeg.data(), size, bgr);
  }
}

}  // namespace
}  // namespace qxcore

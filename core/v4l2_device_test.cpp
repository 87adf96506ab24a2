#include "core/v4l2_device.h"

#include <fcntl.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include <QComboBox>
#include <QDialog>
#include <QImage>
#include <QWidget>
#include <gtest/gtest.h>

#include "core/bmp_reader.h"
#include "core/jpeg_writer.h"
#include "core/testing/capture_fixture.h"
#include "core/testing/emulated_camera.h"
#include "core/testing/qt_support.h"
#include "core/testing/test_support.h"

namespace qxcore {
namespace {

using testing::CameraSpec;
using testing::EmulatedCameras;
using testing::EmulatedFormat;
using testing::WaitUntil;
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

// --- The back-end against emulated cameras ---------------------------------------------------

const EmulatedFormat kYuyv{V4L2_PIX_FMT_YUYV, "YUYV 4:2:2", {{160, 120}, {320, 240}}};
const EmulatedFormat kMjpeg{V4L2_PIX_FMT_MJPEG, "Motion-JPEG", {{160, 120}}};

CameraSpec Camera(EmulatedFormat format, int framesPerSecond) {
  CameraSpec spec;
  spec.formats = {std::move(format)};
  spec.framesPerSecond = framesPerSecond;
  return spec;
}

// The emulation answers as the kernel's UVC driver does where the back-end depends on it.
TEST(EmulatedCamerasTest, QueueRulesOfAUvcDriver) {
  auto cameras = std::make_shared<EmulatedCameras>();
  cameras->Add("video0", Camera(kYuyv, 30));
  cameras->Add("video1", Camera(kYuyv, 10));
  auto startStreaming = [&](int fd) {
    v4l2_requestbuffers request{};
    request.count = 2;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (cameras->Ioctl(fd, VIDIOC_REQBUFS, &request) != 0) return errno;
    for (uint32_t index = 0; index < request.count; ++index) {
      v4l2_buffer buffer{};
      buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      buffer.memory = V4L2_MEMORY_MMAP;
      buffer.index = index;
      if (cameras->Ioctl(fd, VIDIOC_QBUF, &buffer) != 0) return errno;
    }
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    return cameras->Ioctl(fd, VIDIOC_STREAMON, &type) == 0 ? 0 : errno;
  };
  auto dequeue = [&](int fd, v4l2_buffer& buffer) {
    buffer = v4l2_buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    return cameras->Ioctl(fd, VIDIOC_DQBUF, &buffer) == 0 ? 0 : errno;
  };
  const int owner = cameras->Open(cameras->PathOf("video0"), O_RDWR | O_NONBLOCK);
  const int second = cameras->Open(cameras->PathOf("video0"), O_RDWR);
  ASSERT_GE(owner, 0);
  ASSERT_GE(second, 0);
  ASSERT_EQ(startStreaming(owner), 0);
  EXPECT_EQ(startStreaming(second), EBUSY);
  v4l2_format format{};
  format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  EXPECT_NE(cameras->Ioctl(second, VIDIOC_S_FMT, &format), 0);
  EXPECT_EQ(errno, EBUSY);
  v4l2_buffer buffer{};
  EXPECT_EQ(dequeue(owner, buffer), EAGAIN);  // nothing finished yet, and no waiting
  pollfd descriptor{owner, POLLIN, 0};
  ASSERT_EQ(cameras->Poll(&descriptor, 1, 2000), 1);
  EXPECT_NE(descriptor.revents & POLLIN, 0);
  ASSERT_EQ(dequeue(owner, buffer), 0);
  EXPECT_EQ(buffer.sequence, 0u);
  EXPECT_EQ(buffer.flags & V4L2_BUF_FLAG_TSTAMP_SRC_MASK, V4L2_BUF_FLAG_TSTAMP_SRC_SOE);
  // A blocking descriptor waits for the frame: at 10 fps the first is ready 100 ms on.
  const int blocking = cameras->Open(cameras->PathOf("video1"), O_RDWR);
  ASSERT_EQ(startStreaming(blocking), 0);
  const auto asked = std::chrono::steady_clock::now();
  ASSERT_EQ(dequeue(blocking, buffer), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(90));
  // Unplugged: every call fails with ENODEV, poll reports the error, the node is gone.
  cameras->Unplug("video0");
  EXPECT_EQ(dequeue(owner, buffer), ENODEV);
  descriptor.revents = 0;
  ASSERT_EQ(cameras->Poll(&descriptor, 1, 0), 1);
  EXPECT_EQ(descriptor.revents, POLLERR | POLLHUP);
  EXPECT_EQ(cameras->Open(cameras->PathOf("video0"), O_RDWR), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(cameras->Replug("video0"));  // still open here
  for (int fd : {owner, second, blocking}) EXPECT_EQ(cameras->Close(fd), 0);
  EXPECT_TRUE(cameras->Replug("video0"));
}

// A grabbed frame read back from its BMP file: BGR pixels, rows top to bottom.
struct Grabbed {
  bool ok = false;
  int width = 0;
  int height = 0;
  std::vector<uint8_t> bgr;
  uint32_t sequence = 0;
};

class EmulatedCameraTest : public testing::CaptureFixture {
 protected:
  void SetUp() override {
    CaptureFixture::SetUp();
    SetWarmUp(0);
  }

  static void SetWarmUp(int64_t milliseconds) {
    qv::Timings timings = qv::GetTimings();
    timings.cameraWarmUpMs = milliseconds;
    qv::SetTimings(timings);
  }

  // A fresh library listing fresh cameras, the one at "video0" started.
  void StartCamera(CameraSpec spec, QWidget* parent = nullptr) {
    (void)QXCleanup();
    cameras_ = std::make_shared<EmulatedCameras>();
    cameras_->Add("video0", std::move(spec));
    SetDriverListerForTesting(testing::EmulatedLister(cameras_));
    ASSERT_EQ(QXStartup(), 1);
    StartFirstDevice(parent);
  }

  Grabbed Grab() {
    Grabbed grabbed;
    const std::string path = folder_.File("grab.bmp");
    std::remove(path.c_str());
    if (QXCaptureSingleFrame(path.c_str(), 0) == 0) return grabbed;
    RgbImage image;
    if (ReadBmpAsRgb(path, image) != kBmpOk) return grabbed;
    grabbed.ok = true;
    grabbed.width = image.width;
    grabbed.height = image.height;
    grabbed.bgr = std::move(image.pixels);
    for (size_t i = 0; i + 2 < grabbed.bgr.size(); i += 3) std::swap(grabbed.bgr[i], grabbed.bgr[i + 2]);
    grabbed.sequence = testing::EmulatedSequenceOf(grabbed.bgr.data(), grabbed.width, grabbed.height);
    return grabbed;
  }

  // The centre of each coloured quarter is the scene's colour, within what YUYV and JPEG lose.
  static void ExpectScene(const Grabbed& grabbed, const std::string& what) {
    const int width = grabbed.width;
    const int height = grabbed.height;
    const int strip = height / 6;
    for (int y : {strip + (height - strip) / 4, strip + 3 * (height - strip) / 4}) {
      for (int x : {width / 4, 3 * width / 4}) {
        const auto expected = testing::EmulatedSceneColour(x, y, width, height);
        const uint8_t* pixel = grabbed.bgr.data() + (static_cast<size_t>(y) * width + x) * 3;
        for (int channel = 0; channel < 3; ++channel) {
          EXPECT_NEAR(pixel[channel], expected[channel], 16) << what << " at " << x << "," << y;
        }
      }
    }
  }

  std::shared_ptr<EmulatedCameras> cameras_;
};

TEST_F(EmulatedCameraTest, GrabsGiveTheCamerasPictureWithinTheDeadline) {
  struct Case {
    const char* name;
    CameraSpec camera;
    uint32_t framesBeforeGrab;
  };
  // A dark room makes a webcam expose each frame for a second: frames are stamped when their
  // exposure started, a second before they are ready.
  const Case cases[] = {
      {"30 fps YUYV", Camera(kYuyv, 30), 0},
      {"5 fps MJPEG", Camera(kMjpeg, 5), 0},
      {"1 fps YUYV in the dark", Camera(kYuyv, 1), 1},
  };
  for (const Case& test : cases) {
    StartCamera(test.camera);
    ASSERT_TRUE(WaitUntil([&] { return cameras_->CountersOf("video0").framesFinished >= test.framesBeforeGrab; }))
        << test.name;
    const Grabbed grabbed = Grab();
    ASSERT_TRUE(grabbed.ok) << test.name;
    EXPECT_EQ(grabbed.width, 160) << test.name;
    EXPECT_EQ(grabbed.height, 120) << test.name;
    ExpectScene(grabbed, test.name);
    // The frame finished last before the grab, or a newer one.
    EXPECT_GE(grabbed.sequence + 1, test.framesBeforeGrab) << test.name;
  }
}

TEST_F(EmulatedCameraTest, FramesOfTheWarmUpAreSkipped) {
  struct Case {
    int framesPerSecond;
    int64_t warmUpMs;
  };
  for (const Case& test : {Case{30, 300}, Case{10, 450}}) {
    SetWarmUp(test.warmUpMs);
    StartCamera(Camera(kYuyv, test.framesPerSecond));
    const Grabbed grabbed = Grab();
    ASSERT_TRUE(grabbed.ok) << test.warmUpMs;
    // Frame n began its exposure n frame intervals after streaming started.
    EXPECT_GE(int64_t{grabbed.sequence} * 1000 / test.framesPerSecond, test.warmUpMs)
        << grabbed.sequence;
    ExpectScene(grabbed, "after the warm-up");
  }
}

TEST_F(EmulatedCameraTest, CorruptMotionJpegFramesAreSkipped) {
  struct Case {
    const char* name;
    std::function<bool(uint32_t)> corrupt;
  };
  const Case cases[] = {
      {"the first ten", [](uint32_t sequence) { return sequence < 10; }},
      {"every other", [](uint32_t sequence) { return sequence % 2 == 0; }},
  };
  for (const Case& test : cases) {
    CameraSpec spec = Camera(kMjpeg, 30);
    spec.corrupt = test.corrupt;
    StartCamera(spec);
    for (int grab = 0; grab < 3; ++grab) {
      const Grabbed grabbed = Grab();
      ASSERT_TRUE(grabbed.ok) << test.name;
      EXPECT_FALSE(test.corrupt(grabbed.sequence)) << test.name << " " << grabbed.sequence;
      ExpectScene(grabbed, test.name);
    }
  }
}

TEST_F(EmulatedCameraTest, AnUnpluggedCameraIsLetGoAndStartsAgainOncePluggedIn) {
  qv::Timings timings = qv::GetTimings();
  timings.grabDeadlineMs = 200;
  qv::SetTimings(timings);
  StartCamera(Camera(kYuyv, 30));
  ASSERT_TRUE(Grab().ok);
  cameras_->Unplug("video0");
  EXPECT_FALSE(Grab().ok);
  EXPECT_EQ(QXIsCapturing(), 0);
  // Nothing holds the node, so the camera comes back under its name.
  const testing::CameraCounters held = cameras_->CountersOf("video0");
  EXPECT_EQ(held.openDescriptors, 0);
  EXPECT_EQ(held.mappedBuffers, 0);
  ASSERT_TRUE(cameras_->Replug("video0"));
  EXPECT_FALSE(Grab().ok);  // the started device stays the lost one until started again
  ASSERT_EQ(QXCleanupDevice(), 1);
  StartFirstDevice();
  const Grabbed grabbed = Grab();
  ASSERT_TRUE(grabbed.ok);
  ExpectScene(grabbed, "after plugging in again");
}

TEST_F(EmulatedCameraTest, ACameraAnotherProgramStreamsFromIsRefused) {
  (void)QXCleanup();
  cameras_ = std::make_shared<EmulatedCameras>();
  cameras_->Add("video0", Camera(kYuyv, 30));
  SetDriverListerForTesting(testing::EmulatedLister(cameras_));
  ASSERT_EQ(QXStartup(), 1);
  ASSERT_EQ(QXGetDeviceCount(), 1);
  // The other program holds the camera's buffers and streams.
  const int other = cameras_->Open(cameras_->PathOf("video0"), O_RDWR);
  ASSERT_GE(other, 0);
  v4l2_requestbuffers request{};
  request.count = 2;
  request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  request.memory = V4L2_MEMORY_MMAP;
  ASSERT_EQ(cameras_->Ioctl(other, VIDIOC_REQBUFS, &request), 0);
  v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  ASSERT_EQ(cameras_->Ioctl(other, VIDIOC_STREAMON, &type), 0);
  QXSTARTUPDEVICEINFO info{};
  EXPECT_EQ(QXStartupDevice(&info, 0), 0);
  EXPECT_EQ(QXGetCurDevice(), -1);
  EXPECT_EQ(cameras_->CountersOf("video0").openDescriptors, 1);  // only the other program's
  ASSERT_EQ(cameras_->Close(other), 0);
  ASSERT_EQ(QXStartupDevice(&info, 0), 1);
  EXPECT_TRUE(Grab().ok);
}

TEST_F(EmulatedCameraTest, CaptureNodesAreListedInNodeOrder) {
  (void)QXCleanup();
  cameras_ = std::make_shared<EmulatedCameras>();
  CameraSpec front = Camera(kYuyv, 30);
  front.card = "Front Camera";
  CameraSpec frontMetadata = front;
  frontMetadata.capture = false;
  CameraSpec rear = Camera(kMjpeg, 30);
  rear.card = "Rear Camera";
  CameraSpec side = Camera(kYuyv, 30);
  side.card = "Side Camera";
  cameras_->Add("video10", side);
  cameras_->Add("video2", rear);
  cameras_->Add("video1", frontMetadata);
  cameras_->Add("video0", front);
  const std::vector<V4l2Node> nodes = ListV4l2CaptureNodes(cameras_->folder(), cameras_);
  ASSERT_EQ(nodes.size(), 3u);
  EXPECT_EQ(nodes[0].path, cameras_->PathOf("video0"));
  EXPECT_EQ(nodes[1].path, cameras_->PathOf("video2"));
  EXPECT_EQ(nodes[2].path, cameras_->PathOf("video10"));
  SetDriverListerForTesting(testing::EmulatedLister(cameras_));
  ASSERT_EQ(QXStartup(), 1);
  ASSERT_EQ(QXGetDeviceCount(), 3);
  QXDEVICEINFO info{};
  const char* expected[] = {"Front Camera", "Rear Camera", "Side Camera"};
  for (int number = 0; number < 3; ++number) {
    ASSERT_EQ(QXGetDeviceInfo(&info, number), 1);
    EXPECT_STREQ(info.szDeviceName, expected[number]);
  }
  // The listing left every node closed.
  for (const char* node : {"video0", "video1", "video2", "video10"}) {
    EXPECT_EQ(cameras_->CountersOf(node).openDescriptors, 0) << node;
  }
}

// --- With a window: the format dialog and the preview ----------------------------------------

class EmulatedCameraWindowTest : public EmulatedCameraTest {
 protected:
  static void SetUpTestSuite() { testing::StartSuiteApplication(); }
  static void TearDownTestSuite() { testing::StopSuiteApplication(); }
  void SetUp() override {
    EmulatedCameraTest::SetUp();
    parent_ = std::make_unique<QWidget>();
    parent_->resize(800, 600);
    parent_->show();
  }
  void TearDown() override {
    EmulatedCameraTest::TearDown();
    parent_.reset();
  }
  std::unique_ptr<QWidget> parent_;
};

TEST_F(EmulatedCameraWindowTest, FormatDialogAppliesWhatTheCameraAndTheConverterCanDo) {
  CameraSpec spec;
  spec.formats = {kYuyv,
                  kMjpeg,
                  {V4L2_PIX_FMT_H264, "H.264", {{160, 120}}},
                  {V4L2_PIX_FMT_NV12, "Y/CbCr 4:2:0", {{160, 120}}, true}};
  // One camera, one choice after the other; each row is what the camera delivers afterwards.
  struct Step {
    const char* choice;
    uint32_t pixelFormat;
    int width;
  };
  const Step steps[] = {
      {"320 x 240  YUYV 4:2:2", V4L2_PIX_FMT_YUYV, 320},
      {"160 x 120  Y/CbCr 4:2:0", V4L2_PIX_FMT_YUYV, 320},  // the camera will not deliver it
      {"160 x 120  H.264", V4L2_PIX_FMT_YUYV, 320},         // libv4lconvert cannot decode it
      {"160 x 120  Motion-JPEG", V4L2_PIX_FMT_MJPEG, 160},
  };
  StartCamera(spec, parent_.get());
  for (const Step& step : steps) {
    testing::HandleNextDialog(
        [&](QDialog& dialog) {
          auto* list = dialog.findChild<QComboBox*>("formatList");
          ASSERT_NE(list, nullptr);
          const int index = list->findText(step.choice);
          ASSERT_GE(index, 0) << step.choice;
          list->setCurrentIndex(index);
        },
        true);
    EXPECT_EQ(QXOpenDialog(QXDLG_FORMAT), 1) << step.choice;
    const testing::CameraCounters camera = cameras_->CountersOf("video0");
    EXPECT_EQ(camera.pixelFormat, step.pixelFormat) << step.choice;
    EXPECT_EQ(camera.width, step.width) << step.choice;
    EXPECT_TRUE(camera.streaming) << step.choice;
    EXPECT_EQ(State(QXST_WINDOW_WIDTH), static_cast<unsigned long>(step.width)) << step.choice;
    const Grabbed grabbed = Grab();
    ASSERT_TRUE(grabbed.ok) << step.choice;
    EXPECT_EQ(grabbed.width, step.width) << step.choice;
    ExpectScene(grabbed, step.choice);
  }
}

TEST_F(EmulatedCameraWindowTest, PreviewAtThirtyFramesASecondTakesEveryBufferBack) {
  StartCamera(Camera(kYuyv, 30), parent_.get());
  QXCoreSetPreviewRate(30);
  ASSERT_EQ(QXSetDeviceState(QXST_DISPLAY, QXDISP_PREVIEW), 1);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < end) testing::PumpEvents();
  const testing::CameraCounters running = cameras_->CountersOf("video0");
  EXPECT_GE(running.framesDequeued, 30u);  // about 60 came in the two seconds
  EXPECT_EQ(running.buffersWithUser, 0);
  auto* preview = parent_->findChild<QWidget*>("capturePreview");
  ASSERT_NE(preview, nullptr);
  const QImage shown = preview->grab().toImage();
  const auto colour = testing::EmulatedSceneColour(40, 60, 160, 120);
  const QColor pixel = shown.pixelColor(40, 60);
  EXPECT_NEAR(pixel.blue(), colour[0], 16);
  EXPECT_NEAR(pixel.green(), colour[1], 16);
  EXPECT_NEAR(pixel.red(), colour[2], 16);
  ASSERT_EQ(QXCleanupDevice(), 1);
  const testing::CameraCounters released = cameras_->CountersOf("video0");
  EXPECT_EQ(released.openDescriptors, 0);
  EXPECT_EQ(released.mappedBuffers, 0);
  EXPECT_FALSE(released.streaming);
}

}  // namespace
}  // namespace qxcore

#include "dialogs/live_picture.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <filesystem>
#include <vector>

#include "app/image/picture_output.h"
#include "app/settings/activity_log.h"
#include "core/qxdvcore.h"
#include "platform/files.h"
#include "platform/text.h"

namespace qxdlg {
namespace {

// Keeps the last line the picture code logged: the reason a picture was not made.
class LastLine : public LogSink {
 public:
  void AppendLog(const std::string& line) override { line_ = line; }
  std::string line_;
};

void Put(qv::Bitmap& picture, int x, int y, int red, int green, int blue) {
  uint8_t* pixel = picture.row(picture.height() - 1 - y) + 3 * x;  // y counted from the top
  pixel[0] = static_cast<uint8_t>(std::clamp(blue, 0, 255));
  pixel[1] = static_cast<uint8_t>(std::clamp(green, 0, 255));
  pixel[2] = static_cast<uint8_t>(std::clamp(red, 0, 255));
}

int CountColours(const QImage& image) {
  if (image.isNull()) return 0;
  const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
  std::vector<uint64_t> seen((1u << 24) / 64, 0);
  int count = 0;
  for (int y = 0; y < rgb.height(); ++y) {
    const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
    for (int x = 0; x < rgb.width(); ++x) {
      const uint32_t colour = line[x] & 0xFFFFFFu;
      uint64_t& word = seen[colour >> 6];
      const uint64_t bit = uint64_t{1} << (colour & 63);
      if (!(word & bit)) {
        word |= bit;
        ++count;
      }
    }
  }
  return count;
}

}  // namespace

qv::Bitmap MakeTestCard(int width, int height) {
  qv::Bitmap card = qv::Bitmap::Create(width, height, 24);
  static const int kBars[7][3] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
                                  {235, 16, 235}, {235, 16, 16}, {16, 16, 235}};
  const int skyBottom = height * 3 / 5;
  const int barsBottom = height * 17 / 20;
  const double discX = width * 0.68, discY = height * 0.32, radius = height * 0.2;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (y < skyBottom) {
        // A sky from deep to pale blue, with a lit, face-coloured disc in it.
        const double dx = x - discX, dy = y - discY;
        const double distance = std::sqrt(dx * dx + dy * dy);
        if (distance < radius) {
          const double light = 1.0 - 0.45 * (dx + dy + radius) / (2.6 * radius);
          Put(card, x, y, static_cast<int>(240 * light), static_cast<int>(188 * light), static_cast<int>(150 * light));
        } else {
          const int t = y * 255 / std::max(skyBottom, 1);
          Put(card, x, y, 40 + t / 2, 90 + t / 2, 170 + t / 4 + x * 20 / width);
        }
      } else if (y < barsBottom) {
        const int* bar = kBars[std::min(x * 7 / width, 6)];
        Put(card, x, y, bar[0], bar[1], bar[2]);
      } else {
        const int grey = x * 255 / std::max(width - 1, 1);
        Put(card, x, y, grey, grey, grey);
      }
    }
  }
  return card;
}

LivePictureMaker::LivePictureMaker(std::string converterPath, QObject* parent)
    : QObject(parent), converterPath_(std::move(converterPath)), workFolder_(qv::MakeWorkFolder("QXDlg")) {
  worker_ = std::thread(&LivePictureMaker::Run, this);
}

LivePictureMaker::~LivePictureMaker() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  worker_.join();
  if (!workFolder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(workFolder_, ignored);
  }
}

std::string LivePictureMaker::frameFile() const { return workFolder_ + qv::kCapturedFrameFile; }

void LivePictureMaker::Request(int tab, const PictSettings& profile, bool freshFrame) {
  if (tab < 0 || tab >= 4) return;
  {
    std::lock_guard lock(mutex_);
    const bool fresh = freshFrame || (pending_[tab] && pending_[tab]->freshFrame);
    pending_[tab] = Job{profile, fresh};
  }
  wake_.notify_all();
}

void LivePictureMaker::Run() {
  for (;;) {
    int tab = -1;
    Job job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] {
        return stopping_ || std::any_of(std::begin(pending_), std::end(pending_), [](auto& p) { return p.has_value(); });
      });
      if (stopping_) return;
      for (int i = 0; i < 4 && tab < 0; ++i) {
        if (pending_[i]) {
          tab = i;
          job = *pending_[i];
          pending_[i].reset();
        }
      }
    }
    LivePicture picture;
    picture.tab = tab;
    picture.profile = job.profile;
    std::string error;
    if ((job.freshFrame || !haveFrame_) && !TakeFrame(&error)) {
      picture.error = error;
    } else {
      picture = Make(tab, job.profile);
    }
    // Delivered on the GUI thread; dropped when the maker is gone by then.
    QMetaObject::invokeMethod(this, [this, picture] { emit ready(picture); }, Qt::QueuedConnection);
  }
}

bool LivePictureMaker::TakeFrame(std::string* error) {
  if (workFolder_.empty()) {
    *error = SJIS("作業フォルダを作成できません。");
    return false;
  }
  const std::string frame = workFolder_ + qv::kCapturedFrameFile;
  if (QXGetCurDevice() >= 0 && QXCaptureSingleFrame(frame.c_str(), 0)) {
    haveFrame_ = true;
    return true;
  }
  if (haveFrame_) return true;  // the camera is busy or gone: keep the last frame
  haveFrame_ = qv::SaveBmp(frame, MakeTestCard(640, 480), error);
  return haveFrame_;
}

LivePicture LivePictureMaker::Make(int tab, const PictSettings& profile) {
  LivePicture picture;
  picture.tab = tab;
  picture.profile = profile;
  picture.type = qv::EffectiveType(profile, converterPath_);
  qv::PictureNames names;
  names.outputPath[tab] = workFolder_ + "live." + qv::ExtensionOf(picture.type);
  LastLine log;
  picture.made = qv::BuildProfilePicture(workFolder_, names, tab, profile, converterPath_, &log);
  if (!picture.made) {
    picture.error = log.line_;
    return picture;
  }
  const std::string bytes = qv::ReadFileBytes(names.outputPath[tab]);
  qv::RemoveFile(names.outputPath[tab]);
  picture.bytes = QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
  picture.image.loadFromData(picture.bytes);
  picture.colours = CountColours(picture.image);
  return picture;
}

}  // namespace qxdlg

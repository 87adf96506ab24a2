// The live result of the picture tabs: the picture that a profile makes right now, from a
// current camera frame (or, when no camera runs, a test card), through the same picture code
// the replies use (adjust, reduce, encode), with what a reply would carry: format, pixel size,
// colours and bytes.
//
// One worker thread makes the pictures in a private work folder, so the page stays responsive;
// requests for a tab replace that tab's earlier request not yet started. Results come back on
// the GUI thread through `ready`. Destroying the maker waits for the picture under way.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <QByteArray>
#include <QImage>
#include <QObject>

#include "app/image/bitmap.h"
#include "app/settings/settings.h"

namespace qxdlg {

// One made picture.
struct LivePicture {
  int tab = 0;
  PictSettings profile;  // what it was made from
  bool made = false;
  std::string error;  // CP932 reason when not made
  int type = 0;       // the format written (GIF turns JPEG without a converter)
  QByteArray bytes;   // the file as a reply would attach it
  QImage image;       // the file decoded
  int colours = 0;    // distinct colours of the decoded picture
};

// The test card shown when no camera runs: colour bars, a grey ramp, soft gradients and a
// face-coloured disc, `width` x `height`, 24 bits.
[[nodiscard]] qv::Bitmap MakeTestCard(int width, int height);

class LivePictureMaker : public QObject {
  Q_OBJECT

 public:
  // `converterPath`: the GIF converter, empty when none is registered.
  explicit LivePictureMaker(std::string converterPath, QObject* parent = nullptr);
  ~LivePictureMaker() override;

  // Makes the picture of `profile` for `tab`; with `freshFrame` a new camera frame is taken
  // first (the first request always takes one).
  void Request(int tab, const PictSettings& profile, bool freshFrame = false);

  // The frame the pictures are made from (a 24-bit BMP once the first picture was made).
  [[nodiscard]] std::string frameFile() const;

 signals:
  void ready(const LivePicture& picture);

 private:
  struct Job {
    PictSettings profile;
    bool freshFrame = false;
  };
  void Run();
  [[nodiscard]] bool TakeFrame(std::string* error);
  [[nodiscard]] LivePicture Make(int tab, const PictSettings& profile);

  const std::string converterPath_;
  const std::string workFolder_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::optional<Job> pending_[4];
  bool stopping_ = false;
  bool haveFrame_ = false;  // worker thread only
  std::thread worker_;
};

}  // namespace qxdlg

#include "app/image/median_cut.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "app/image/nearest_colour.h"
#include "platform/files.h"

namespace qv {
namespace {

enum Channel { kRed = 0, kGreen = 1, kBlue = 2 };

// One occupied histogram cell: its coordinates in cells and its (saturated) count.
struct Cell {
  uint8_t coordinate[3];  // red, green, blue cell numbers
  uint16_t count;
};

struct Box {
  uint64_t pixels = 0;
  uint32_t occupied = 0;
  int64_t extent = 0;
  int low[3] = {0, 0, 0};
  int high[3] = {0, 0, 0};
  // The box's occupied cells are cells[begin, end): splitting partitions this range.
  size_t begin = 0;
  size_t end = 0;

  bool SingleCell() const {
    return low[0] == high[0] && low[1] == high[1] && low[2] == high[2];
  }
};

// Counts the box's pixels and occupied cells and shrinks it to the cells that hold pixels.
// Shrinking an empty box moves every low bound up to its high bound, as a slab-by-slab shrink
// that never lets the bounds pass each other does.
void Measure(Box* box, const std::vector<Cell>& cells) {
  box->pixels = 0;
  box->occupied = static_cast<uint32_t>(box->end - box->begin);
  if (box->begin == box->end) {
    for (int c = 0; c < 3; ++c) box->low[c] = box->high[c];
  } else {
    int low[3] = {255, 255, 255}, high[3] = {0, 0, 0};
    for (size_t i = box->begin; i < box->end; ++i) {
      const Cell& cell = cells[i];
      box->pixels += cell.count;
      for (int c = 0; c < 3; ++c) {
        low[c] = std::min<int>(low[c], cell.coordinate[c]);
        high[c] = std::max<int>(high[c], cell.coordinate[c]);
      }
    }
    for (int c = 0; c < 3; ++c) {
      box->low[c] = low[c];
      box->high[c] = high[c];
    }
  }
  box->extent = 0;
  for (int c = 0; c < 3; ++c) {
    const int64_t span = box->high[c] - box->low[c];
    box->extent += span * span;
  }
}

// Splits `box` across its longest side (green first, then blue, then red on equal spans):
// it keeps the lower half of the cells, `added` gets the rest.
void Split(Box* box, Box* added, std::vector<Cell>& cells) {
  const int span[3] = {box->high[kRed] - box->low[kRed], box->high[kGreen] - box->low[kGreen],
                       box->high[kBlue] - box->low[kBlue]};
  int channel;
  if (span[kGreen] >= span[kRed] && span[kGreen] >= span[kBlue])
    channel = kGreen;
  else if (span[kBlue] >= span[kRed])
    channel = kBlue;
  else
    channel = kRed;
  const int cut = box->low[channel] + span[channel] / 2;
  auto middle = std::partition(cells.begin() + static_cast<ptrdiff_t>(box->begin),
                               cells.begin() + static_cast<ptrdiff_t>(box->end),
                               [&](const Cell& cell) { return cell.coordinate[channel] <= cut; });
  *added = *box;
  added->low[channel] = cut + 1;
  added->begin = static_cast<size_t>(middle - cells.begin());
  box->high[channel] = cut;
  box->end = added->begin;
  Measure(box, cells);
  Measure(added, cells);
}

// Index of the box to split among boxes[0..last]: by extent while colours are few, by occupied
// cells afterwards; boxes of one cell never qualify; the lowest number wins ties; box 0 when
// none qualifies.
int PickBox(const std::vector<Box>& boxes, int last, bool byExtent) {
  int picked = -1;
  for (int k = 0; k <= last; ++k) {
    const Box& box = boxes[k];
    if (box.SingleCell()) continue;
    if (picked < 0) {
      picked = k;
      continue;
    }
    const bool better = byExtent ? box.extent > boxes[picked].extent
                                 : box.occupied > boxes[picked].occupied;
    if (better) picked = k;
  }
  return picked < 0 ? 0 : picked;
}

// The histogram and the inverse colour map in one: per used cell its pixel count (stopping at
// 65535) and, once mapping has chosen one, 1 + its table entry. It is an open-addressing hash
// table sized by the cells a picture actually uses: a reply picture of some ten thousand pixels
// touches a few thousand of the up to 2.1 million cells, and a table that stays in the cache is
// far faster than a dense one that must be cleared and is hit at random.
class CellTable {
 public:
  struct Slot {
    uint32_t key = 0;  // cell + 1; 0 marks a free slot
    uint16_t count = 0;
    uint16_t entry = 0;
  };

  CellTable() { Resize(12); }

  // The slot of `cell`, added with count 0 and no entry when it was not there yet.
  Slot& operator[](uint32_t cell) {
    const uint32_t key = cell + 1;
    for (size_t i = Home(key);; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.key == key) return slot;
      if (slot.key == 0) {
        if ((used_ + 1) * 2 > slots_.size()) {
          Grow();
          return (*this)[cell];
        }
        slot.key = key;
        ++used_;
        return slot;
      }
    }
  }

  const std::vector<Slot>& slots() const { return slots_; }

 private:
  size_t Home(uint32_t key) const { return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits_)); }

  void Resize(int bits) {
    bits_ = bits;
    slots_.assign(size_t{1} << bits, Slot{});
    mask_ = slots_.size() - 1;
    used_ = 0;
  }

  void Grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    Resize(bits_ + 1);
    for (const Slot& slot : old) {
      if (slot.key == 0) continue;
      size_t i = Home(slot.key);
      while (slots_[i].key != 0) i = (i + 1) & mask_;
      slots_[i] = slot;
      ++used_;
    }
  }

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t used_ = 0;
  int bits_ = 0;
};

// The cell arithmetic of one precision level: N = 2^(3 + precision) steps per channel, so
// N + 1 cells, the outer ones half as wide. Byte v falls into cell (v * N + 128) / 256; the
// histogram index of a colour is red cell * (N + 1)^2 + green cell * (N + 1) + blue cell, and a
// cell's colour level is cell * 256 / N, the top cell at 255.
struct CellGrid {
  explicit CellGrid(int precision) : steps(1 << (3 + precision)), side(steps + 1), level(static_cast<size_t>(side)) {
    for (int v = 0; v < 256; ++v) {
      const int cell = (v * steps + 128) / 256;
      redIndex[v] = static_cast<uint32_t>(cell * side * side);
      greenIndex[v] = static_cast<uint32_t>(cell * side);
      blueIndex[v] = static_cast<uint32_t>(cell);
    }
    for (int i = 0; i < side; ++i) level[i] = i == steps ? 255 : i * (256 / steps);
  }

  uint32_t CellOf(int blue, int green, int red) const { return blueIndex[blue] + greenIndex[green] + redIndex[red]; }

  const int steps;
  const int side;
  std::vector<int> level;
  // Each channel's share of the histogram index, by byte value.
  uint32_t redIndex[256], greenIndex[256], blueIndex[256];
};

// Step 1: counts every pixel's cell, row by row from the top.
int CountCells(PixelRowReader& reader, int width, int height, const CellGrid& grid,
               const MedianCutProgress& progress, CellTable* histogram) {
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * 3);
  for (int row = 1; row <= height; ++row) {
    if (!reader.ReadRow(row, pixels.data())) return kMedianCutReadFailed;
    const uint8_t* p = pixels.data();
    for (int x = 0; x < width; ++x, p += 3) {
      CellTable::Slot& slot = (*histogram)[grid.CellOf(p[0], p[1], p[2])];
      if (slot.count < 65535) ++slot.count;
    }
    if (progress && !progress(row, height)) return kMedianCutCancelledCounting;
  }
  return kMedianCutDone;
}

// The cells that hold pixels, with their coordinates, in the histogram's order.
std::vector<Cell> OccupiedCells(const CellTable& histogram, const CellGrid& grid) {
  std::vector<Cell> cells;
  const uint32_t side = static_cast<uint32_t>(grid.side);
  for (const CellTable::Slot& slot : histogram.slots()) {
    if (slot.count == 0) continue;
    const uint32_t index = slot.key - 1;
    Cell cell;
    cell.coordinate[kRed] = static_cast<uint8_t>(index / (side * side));
    cell.coordinate[kGreen] = static_cast<uint8_t>(index / side % side);
    cell.coordinate[kBlue] = static_cast<uint8_t>(index % side);
    cell.count = slot.count;
    cells.push_back(cell);
  }
  return cells;
}

// Step 2: cuts the box of all cells into at most `colorCount` boxes that hold pixels, and
// returns them by pixel count, largest first (equal counts in box-number order).
std::vector<Box> CutBoxes(std::vector<Cell>& cells, int steps, int colorCount) {
  std::vector<Box> boxes(256);
  boxes[0].high[kRed] = boxes[0].high[kGreen] = boxes[0].high[kBlue] = steps;
  boxes[0].end = cells.size();
  Measure(&boxes[0], cells);

  int made = 1;
  // A split never leaves a shrunk box's half empty; the bound only guards against a loop.
  for (int i = 0, attempts = 0; i < colorCount - 1 && attempts < 4 * colorCount; ++attempts) {
    const int picked = PickBox(boxes, i, 2 * i < colorCount);
    if (boxes[picked].SingleCell()) break;
    Split(&boxes[picked], &boxes[i + 1], cells);
    if (boxes[picked].pixels == 0) {
      boxes[picked] = boxes[i + 1];
      continue;
    }
    if (boxes[i + 1].pixels == 0) continue;
    ++i;
    made = i + 1;
  }
  boxes.resize(static_cast<size_t>(made));
  std::stable_sort(boxes.begin(), boxes.end(), [](const Box& a, const Box& b) { return a.pixels > b.pixels; });
  return boxes;
}

// Step 3: the colour table. Entry k is the count-weighted mean of the cell levels of box k (a
// box without pixels gets its middle cell's level); entries from the last box up to
// `colorCount` stay black, and the first `colorCount` entries are sorted by blue x green x red.
std::array<RgbQuad, 256> MakeTable(const std::vector<Box>& boxes, const std::vector<Cell>& cells,
                                   const CellGrid& grid, int colorCount) {
  std::array<RgbQuad, 256> table{};
  for (size_t k = 0; k < boxes.size(); ++k) {
    const Box& box = boxes[k];
    uint8_t mean[3];
    if (box.pixels == 0) {
      for (int c = 0; c < 3; ++c) mean[c] = static_cast<uint8_t>(grid.level[(box.low[c] + box.high[c]) / 2]);
    } else {
      uint64_t sum[3] = {0, 0, 0};
      for (size_t i = box.begin; i < box.end; ++i)
        for (int c = 0; c < 3; ++c) sum[c] += uint64_t{cells[i].count} * grid.level[cells[i].coordinate[c]];
      for (int c = 0; c < 3; ++c) mean[c] = static_cast<uint8_t>((sum[c] + box.pixels / 2) / box.pixels);
    }
    table[k].rgbRed = mean[kRed];
    table[k].rgbGreen = mean[kGreen];
    table[k].rgbBlue = mean[kBlue];
  }
  SortByProduct(table.data(), colorCount);
  return table;
}

// The 8-bit header of the result: the source's header with one plane, 8 bits, no compression,
// the padded image size and no colour counts.
BitmapInfoHeader IndexedHeader(const BitmapInfoHeader& source) {
  BitmapInfoHeader header = source;
  header.biSize = sizeof(BitmapInfoHeader);
  header.biPlanes = 1;
  header.biBitCount = 8;
  header.biCompression = kCompressionRgb;
  header.biSizeImage = static_cast<uint32_t>(RowStride(source.biWidth, 8) * static_cast<size_t>(source.biHeight));
  header.biClrUsed = 0;
  header.biClrImportant = 0;
  return header;
}

// Step 4: maps rows to table entries with serpentine error diffusion. Each pixel takes the
// entry of its cell, chosen by the first pixel that fell into the cell (the histogram's slots
// double as this inverse map), and passes its error on: 8/16 to the next pixel in scan
// direction, 2/16, 4/16 and 1/16 to the row below, left, under and right of it as seen in the
// picture, each share truncated toward zero.
class ErrorDiffusion {
 public:
  ErrorDiffusion(const CellGrid& grid, const std::array<RgbQuad, 256>& table, int colorCount, int width,
                 CellTable* inverse)
      : grid_(grid),
        nearest_(table.data(), colorCount),
        inverse_(*inverse),
        width_(width),
        current_((static_cast<size_t>(width) + 2) * 3, 0),
        below_(current_.size(), 0) {
    for (int k = 0; k < 256; ++k) {
      entryBlue_[k] = table[k].rgbBlue;
      entryGreen_[k] = table[k].rgbGreen;
      entryRed_[k] = table[k].rgbRed;
    }
  }

  // Maps one row of `width` pixels (blue, green, red) into `indices`, right to left when
  // `leftward`, and moves on to the next row.
  void MapRow(const uint8_t* pixels, bool leftward, uint8_t* indices) {
    const int step = leftward ? -1 : 1;
    for (int n = 0, x = leftward ? width_ - 1 : 0; n < width_; ++n, x += step) {
      const uint8_t* pixel = pixels + static_cast<size_t>(x) * 3;
      int* working = current_.data() + (static_cast<size_t>(x) + 1) * 3;
      int value[3];
      for (int c = 0; c < 3; ++c) value[c] = std::clamp(pixel[c] + working[c], 0, 255);
      const int entry = EntryOf(value);
      indices[static_cast<size_t>(x)] = static_cast<uint8_t>(entry);
      const int chosen[3] = {entryBlue_[entry], entryGreen_[entry], entryRed_[entry]};
      int* ahead = working + step * 3;
      int* under = below_.data() + (static_cast<size_t>(x) + 1) * 3;
      for (int c = 0; c < 3; ++c) {
        const int e = value[c] - chosen[c];
        ahead[c] += e * 8 / 16;
        under[c - 3] += e * 2 / 16;
        under[c] += e * 4 / 16;
        under[c + 3] += e * 1 / 16;
      }
    }
    current_.swap(below_);
    std::fill(below_.begin(), below_.end(), 0);
  }

 private:
  // The entry of the cell of `value` (blue, green, red): the first pixel that falls into a cell
  // decides its entry for every later one.
  int EntryOf(const int value[3]) {
    CellTable::Slot& slot = inverse_[grid_.CellOf(value[0], value[1], value[2])];
    int entry = slot.entry - 1;
    if (entry < 0) {
      entry = nearest_.Find(value[0], value[1], value[2]);
      slot.entry = static_cast<uint16_t>(entry + 1);
    }
    return entry;
  }

  const CellGrid& grid_;
  const NearestColour nearest_;
  CellTable& inverse_;
  const int width_;
  // Errors carried to this row and to the next, one pixel of margin on each side, 3 channels
  // (blue, green, red) a pixel.
  std::vector<int> current_;
  std::vector<int> below_;
  int entryBlue_[256], entryGreen_[256], entryRed_[256];
};

int MapRows(PixelRowReader& reader, IndexRowWriter& writer, int width, int height,
            const MedianCutProgress& progress, ErrorDiffusion* diffusion) {
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * 3);
  std::vector<uint8_t> indices(RowStride(width, 8), 0);
  for (int row = 1; row <= height; ++row) {
    if (!reader.ReadRow(row, pixels.data())) return kMedianCutReadFailed;
    // The top row runs right to left, the next left to right, and so on.
    diffusion->MapRow(pixels.data(), row % 2 == 1, indices.data());
    if (!writer.WriteRow(row, indices.data())) return kMedianCutWriteFailed;
    if (progress && !progress(row, height)) return kMedianCutCancelledMapping;
  }
  return kMedianCutDone;
}

}  // namespace

int RunMedianCut(PixelRowReader& reader, IndexRowWriter& writer, const MedianCutOptions& options) {
  if (options.precision < 0 || options.precision > 4) return kMedianCutOpenFailed;
  const int colorCount = std::clamp(options.colorCount, 1, 256);
  BitmapInfoHeader info;
  if (int result = reader.ReadHeader(&info); result != kMedianCutDone) return result;
  const int width = info.biWidth;
  const int height = info.biHeight;
  if (width < 1 || height < 1 || width > kMaxBitmapDimension || height > kMaxBitmapDimension)
    return kMedianCutBadInput;

  try {
    const CellGrid grid(options.precision);
    CellTable histogram;
    if (int result = CountCells(reader, width, height, grid, options.progress, &histogram); result != kMedianCutDone)
      return result;
    std::vector<Cell> cells = OccupiedCells(histogram, grid);
    const std::vector<Box> boxes = CutBoxes(cells, grid.steps, colorCount);
    const std::array<RgbQuad, 256> table = MakeTable(boxes, cells, grid, colorCount);
    if (!writer.WriteHeader(IndexedHeader(info), table)) return kMedianCutWriteFailed;
    ErrorDiffusion diffusion(grid, table, colorCount, width, &histogram);
    return MapRows(reader, writer, width, height, options.progress, &diffusion);
  } catch (const std::bad_alloc&) {
    return kMedianCutOutOfMemory;
  }
}

// ---- In-memory reader and writer ----

int BitmapRowReader::ReadHeader(BitmapInfoHeader* info) {
  if (bitmap_.bitCount() != 24 || bitmap_.width() < 1 || bitmap_.height() < 1 ||
      bitmap_.bitsBlockSize() < bitmap_.stride() * static_cast<size_t>(bitmap_.height()))
    return kMedianCutBadInput;
  *info = bitmap_.info();
  return kMedianCutDone;
}

bool BitmapRowReader::ReadRow(int row, uint8_t* pixels) {
  if (row < 1 || row > bitmap_.height()) return false;
  std::memcpy(pixels, bitmap_.row(bitmap_.height() - row), static_cast<size_t>(bitmap_.width()) * 3);
  return true;
}

bool BitmapRowWriter::WriteHeader(const BitmapInfoHeader& info, const std::array<RgbQuad, 256>& table) {
  try {
    bitmap_ = Bitmap::Create(info.biWidth, info.biHeight, 8, 256);
  } catch (const std::exception&) {
    return false;
  }
  bitmap_.info() = info;
  std::copy(table.begin(), table.end(), bitmap_.palette().begin());
  return true;
}

bool BitmapRowWriter::WriteRow(int row, const uint8_t* indices) {
  if (bitmap_.empty() || row < 1 || row > bitmap_.height()) return false;
  std::memcpy(bitmap_.row(bitmap_.height() - row), indices, bitmap_.stride());
  return true;
}

// ---- BMP file reader and writer ----

int BmpFileRowReader::ReadHeader(BitmapInfoHeader* info) {
  struct stat status {};
  uint8_t head[kBmpHeadSize] = {};
  if (fstat(fd_, &status) != 0) return kMedianCutReadFailed;
  const uint64_t fileSize = static_cast<uint64_t>(status.st_size);
  const size_t headSize = static_cast<size_t>(std::min<uint64_t>(fileSize, sizeof head));
  if (!qv::ReadAt(fd_, head, headSize, 0)) return kMedianCutReadFailed;
  const BmpFault fault = ParseBmpHeaders(head, headSize, fileSize, kBmpDepth24, &layout_);
  if (fault == BmpFault::kTruncated || fault == BmpFault::kTruncatedPixels) return kMedianCutReadFailed;
  if (fault != BmpFault::kNone) return kMedianCutBadInput;
  std::memcpy(info, head + kFileHeaderSize, sizeof *info);
  info->biSize = sizeof(BitmapInfoHeader);
  info->biHeight = layout_.height;
  return kMedianCutDone;
}

bool BmpFileRowReader::ReadRow(int row, uint8_t* pixels) {
  if (row < 1 || row > layout_.height) return false;
  const int64_t fileRow = layout_.topDown ? row - 1 : layout_.height - row;
  return qv::ReadAt(fd_, pixels, static_cast<size_t>(layout_.width) * 3,
                    static_cast<long long>(layout_.pixelOffset + layout_.stride * static_cast<uint64_t>(fileRow)));
}

namespace {

// Writes an 8-bit BMP file: the file header, the info header and the 256-entry colour table,
// then the rows bottom-up from bfOffBits 1078.
class FileRowWriter : public IndexRowWriter {
 public:
  explicit FileRowWriter(int fd) : fd_(fd) {}

  bool WriteHeader(const BitmapInfoHeader& info, const std::array<RgbQuad, 256>& table) override {
    height_ = info.biHeight;
    stride_ = RowStride(info.biWidth, 8);
    uint8_t header[kOffBits] = {'B', 'M'};
    const uint32_t fileSize = static_cast<uint32_t>(kOffBits + stride_ * static_cast<size_t>(height_));
    std::memcpy(header + 2, &fileSize, 4);
    std::memcpy(header + 10, &kOffBits, 4);
    std::memcpy(header + kFileHeaderSize, &info, sizeof info);
    std::memcpy(header + kFileHeaderSize + sizeof info, table.data(), 256 * sizeof(RgbQuad));
    return qv::WriteAt(fd_, header, sizeof header, 0);
  }

  bool WriteRow(int row, const uint8_t* indices) override {
    if (row < 1 || row > height_) return false;
    return qv::WriteAt(fd_, indices, stride_,
                       static_cast<off_t>(kOffBits + static_cast<int64_t>(stride_) * (height_ - row)));
  }

 private:
  static constexpr uint32_t kOffBits = kFileHeaderSize + sizeof(BitmapInfoHeader) + 256 * sizeof(RgbQuad);
  static_assert(kOffBits == 1078);

  int fd_;
  int height_ = 0;
  size_t stride_ = 0;
};

}  // namespace

int RunMedianCutFiles(const std::string& source, const std::string& destination,
                      const MedianCutOptions& options) {
  if (options.precision < 0 || options.precision > 4) return kMedianCutOpenFailed;
  const int input = open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // a pipe cannot hold it
  if (input < 0) return kMedianCutOpenFailed;
  RemoveFile(destination);  // a new file: ext4 flushes a rewritten one on close
  const int output = open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (output < 0) {
    close(input);
    return kMedianCutOpenFailed;
  }
  BmpFileRowReader reader(input);
  FileRowWriter writer(output);
  int result = RunMedianCut(reader, writer, options);
  close(input);
  if (close(output) != 0 && result == kMedianCutDone) result = kMedianCutWriteFailed;
  if (result != kMedianCutDone) RemoveFile(destination);
  return result;
}

}  // namespace qv

// The program's icon, drawn here: a white down arrow over two chain links on a
// blue tile ("download links"). Every image is rendered from the same shapes
// with 8 x 8 samples per pixel, then stored uncompressed with its AND mask.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "main_form.h"

namespace tobrine::formgen {
namespace {

struct Colour {
  double r = 0, g = 0, b = 0;
};

// A straight-alpha pixel, channels 0..255.
struct Pixel {
  uint8_t r = 0, g = 0, b = 0, a = 0;
};

struct Scheme {
  Colour tileTop, tileBottom, arrow, link, outline;
};
constexpr Scheme kFullColour{{0x3D, 0x8B, 0xF2},
                             {0x15, 0x4C, 0xB5},
                             {0xFF, 0xFF, 0xFF},
                             {0xFF, 0xC4, 0x38},
                             {0x0E, 0x2F, 0x6E}};
// The same drawing in colours of the 16-colour palette, so nearest-colour
// matching keeps the tile blue.
constexpr Scheme kSixteenColour{{0x00, 0x00, 0xFF},
                                {0x00, 0x00, 0xFF},
                                {0xFF, 0xFF, 0xFF},
                                {0xFF, 0xFF, 0x00},
                                {0x00, 0x00, 0x80}};
constexpr int kGradientSteps = 32;

Colour Gradient(const Scheme& s, double t) {
  return {s.tileTop.r + (s.tileBottom.r - s.tileTop.r) * t,
          s.tileTop.g + (s.tileBottom.g - s.tileTop.g) * t,
          s.tileTop.b + (s.tileBottom.b - s.tileTop.b) * t};
}

// --- Shapes in unit coordinates (0..1, y downwards); negative distance = inside.

double RoundRectDistance(double x, double y) {
  constexpr double kHalf = 0.46, kRadius = 0.18;
  const double qx = std::abs(x - 0.5) - kHalf + kRadius;
  const double qy = std::abs(y - 0.5) - kHalf + kRadius;
  return std::hypot(std::max(qx, 0.0), std::max(qy, 0.0)) + std::min(std::max(qx, qy), 0.0) -
         kRadius;
}

bool InArrow(double x, double y) {
  constexpr std::array<std::array<double, 2>, 7> kOutlinePoints{{{0.42, 0.12},
                                                                 {0.58, 0.12},
                                                                 {0.58, 0.40},
                                                                 {0.74, 0.40},
                                                                 {0.50, 0.64},
                                                                 {0.26, 0.40},
                                                                 {0.42, 0.40}}};
  bool inside = false;
  for (std::size_t i = 0, j = kOutlinePoints.size() - 1; i < kOutlinePoints.size(); j = i++) {
    const auto& a = kOutlinePoints[i];
    const auto& b = kOutlinePoints[j];
    if ((a[1] > y) != (b[1] > y) && x < (b[0] - a[0]) * (y - a[1]) / (b[1] - a[1]) + a[0]) {
      inside = !inside;
    }
  }
  return inside;
}

// Distance from the centre line of a horizontal chain link (a capsule outline).
double LinkRingDistance(double x, double y, double x0, double x1) {
  constexpr double kCentreY = 0.79, kRadius = 0.085;
  const double cx = std::clamp(x, x0, x1);
  return std::abs(std::hypot(x - cx, y - kCentreY) - kRadius);
}

constexpr double kLinkHalfWidth = 0.0275;
constexpr double kOutlineHalfWidth = 0.045;

// The colour and coverage of one sample, front shape first.
bool Sample(const Scheme& s, double x, double y, Colour& out) {
  if (RoundRectDistance(x, y) > 0) return false;
  const double left = LinkRingDistance(x, y, 0.27, 0.45);
  const double right = LinkRingDistance(x, y, 0.55, 0.73);
  // The left link passes over the right one at the upper crossing and under it
  // at the lower one, so the two read as interlocked.
  const bool left_in_front = y < 0.79;
  auto link = [&](double d) {
    if (d <= kLinkHalfWidth) return out = s.link, true;
    if (d <= kOutlineHalfWidth) return out = s.outline, true;
    return false;
  };
  if (left_in_front ? link(left) || link(right) : link(right) || link(left)) return true;
  if (InArrow(x, y)) {
    out = s.arrow;
    return true;
  }
  // The tile's gradient in a few steps, so the 8-bit images can hold it exactly.
  const double t =
      std::floor(std::clamp(y, 0.0, 1.0) * (kGradientSteps - 1) + 0.5) / (kGradientSteps - 1);
  out = Gradient(s, t);
  return true;
}

// Rows top to bottom.
std::vector<Pixel> Render(const Scheme& scheme, int size) {
  constexpr int kSamples = 8;
  std::vector<Pixel> pixels(static_cast<std::size_t>(size) * size);
  for (int py = 0; py < size; ++py) {
    for (int px = 0; px < size; ++px) {
      Colour sum;
      int covered = 0;
      for (int sy = 0; sy < kSamples; ++sy) {
        for (int sx = 0; sx < kSamples; ++sx) {
          Colour c;
          if (!Sample(scheme, (px + (sx + 0.5) / kSamples) / size,
                      (py + (sy + 0.5) / kSamples) / size, c)) {
            continue;
          }
          sum.r += c.r, sum.g += c.g, sum.b += c.b;
          ++covered;
        }
      }
      Pixel& p = pixels[static_cast<std::size_t>(py) * size + px];
      if (covered == 0) continue;
      p.r = static_cast<uint8_t>(std::lround(sum.r / covered));
      p.g = static_cast<uint8_t>(std::lround(sum.g / covered));
      p.b = static_cast<uint8_t>(std::lround(sum.b / covered));
      p.a = static_cast<uint8_t>(std::lround(255.0 * covered / (kSamples * kSamples)));
    }
  }
  return pixels;
}

// --- Palettes for the images without alpha.

using Palette = std::vector<Pixel>;

Palette SixteenColours() {
  return {{0, 0, 0, 0},       {128, 0, 0, 0},   {0, 128, 0, 0},   {128, 128, 0, 0},
          {0, 0, 128, 0},     {128, 0, 128, 0}, {0, 128, 128, 0}, {192, 192, 192, 0},
          {128, 128, 128, 0}, {255, 0, 0, 0},   {0, 255, 0, 0},   {255, 255, 0, 0},
          {0, 0, 255, 0},     {255, 0, 255, 0}, {0, 255, 255, 0}, {255, 255, 255, 0}};
}

// Black first (the colour under transparent pixels), the drawing's own colours,
// then a colour cube for the blended edges.
Palette TwoFiftySixColours() {
  Palette p;
  auto add = [&p](Colour c) {
    p.push_back({static_cast<uint8_t>(std::lround(c.r)), static_cast<uint8_t>(std::lround(c.g)),
                 static_cast<uint8_t>(std::lround(c.b)), 0});
  };
  add({0, 0, 0});
  add(kFullColour.arrow);
  add(kFullColour.link);
  add(kFullColour.outline);
  for (int i = 0; i < kGradientSteps; ++i) {
    add(Gradient(kFullColour, static_cast<double>(i) / (kGradientSteps - 1)));
  }
  for (int r = 0; r < 6; ++r)
    for (int g = 0; g < 6; ++g)
      for (int b = 0; b < 6; ++b) add({51.0 * r, 51.0 * g, 51.0 * b});
  p.resize(256);
  return p;
}

uint8_t Nearest(const Palette& palette, const Pixel& px) {
  int best = 0;
  long best_distance = -1;
  for (std::size_t i = 0; i < palette.size(); ++i) {
    const long dr = px.r - palette[i].r, dg = px.g - palette[i].g, db = px.b - palette[i].b;
    const long d = dr * dr + dg * dg + db * db;
    if (best_distance < 0 || d < best_distance) best = static_cast<int>(i), best_distance = d;
  }
  return static_cast<uint8_t>(best);
}

// --- Icon-file form.

void Put16(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}
void Put32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// Rows of a bitmap are padded to whole 32-bit words.
std::size_t RowBytes(int width, int bits) {
  return (static_cast<std::size_t>(width) * bits + 31) / 32 * 4;
}

bool Transparent(const Pixel& p) {
  return p.a < 128;
}

// BITMAPINFOHEADER, palette, XOR bits and AND mask, rows bottom up.
std::string IconImageBits(int size, int bits) {
  const std::vector<Pixel> pixels = Render(bits == 4 ? kSixteenColour : kFullColour, size);
  const Palette palette = bits == 4   ? SixteenColours()
                          : bits == 8 ? TwoFiftySixColours()
                                      : Palette{};
  const std::size_t xor_row = RowBytes(size, bits);
  const std::size_t and_row = RowBytes(size, 1);

  std::string out;
  Put32(out, 40);
  Put32(out, static_cast<uint32_t>(size));
  Put32(out, static_cast<uint32_t>(size * 2));  // XOR and AND halves
  Put16(out, 1);
  Put16(out, static_cast<uint16_t>(bits));
  Put32(out, 0);  // uncompressed
  Put32(out, static_cast<uint32_t>((xor_row + and_row) * size));
  for (int i = 0; i < 4; ++i) Put32(out, 0);
  for (const Pixel& c : palette) {
    out.push_back(static_cast<char>(c.b));
    out.push_back(static_cast<char>(c.g));
    out.push_back(static_cast<char>(c.r));
    out.push_back(0);
  }

  for (int y = size - 1; y >= 0; --y) {
    std::string row(xor_row, '\0');
    for (int x = 0; x < size; ++x) {
      const Pixel& p = pixels[static_cast<std::size_t>(y) * size + x];
      if (bits == 32) {
        row[4 * x] = static_cast<char>(p.b);
        row[4 * x + 1] = static_cast<char>(p.g);
        row[4 * x + 2] = static_cast<char>(p.r);
        row[4 * x + 3] = static_cast<char>(p.a);
        continue;
      }
      const uint8_t index = Transparent(p) ? 0 : Nearest(palette, p);
      if (bits == 8) {
        row[x] = static_cast<char>(index);
      } else {
        row[x / 2] = static_cast<char>(row[x / 2] | (x % 2 ? index : index << 4));
      }
    }
    out += row;
  }
  for (int y = size - 1; y >= 0; --y) {
    std::string row(and_row, '\0');
    for (int x = 0; x < size; ++x) {
      if (Transparent(pixels[static_cast<std::size_t>(y) * size + x])) {
        row[x / 8] = static_cast<char>(row[x / 8] | (0x80 >> (x % 8)));
      }
    }
    out += row;
  }
  return out;
}

}  // namespace

std::string BuildIcon() {
  struct Format {
    int size, bits;
  };
  constexpr Format kFormats[] = {{48, 4},   {48, 8},  {32, 8},  {16, 8},
                                 {128, 32}, {48, 32}, {32, 32}, {16, 32}};
  constexpr std::size_t kCount = sizeof(kFormats) / sizeof(kFormats[0]);

  std::string directory;
  Put16(directory, 0);
  Put16(directory, 1);  // icon
  Put16(directory, kCount);
  std::string images;
  std::size_t offset = 6 + 16 * kCount;
  for (const Format& f : kFormats) {
    const std::string bits = IconImageBits(f.size, f.bits);
    directory.push_back(static_cast<char>(f.size));
    directory.push_back(static_cast<char>(f.size));
    directory.push_back(static_cast<char>(f.bits == 4 ? 16 : 0));  // palette size below 256
    directory.push_back(0);
    Put16(directory, 1);
    Put16(directory, static_cast<uint16_t>(f.bits));
    Put32(directory, static_cast<uint32_t>(bits.size()));
    Put32(directory, static_cast<uint32_t>(offset));
    offset += bits.size();
    images += bits;
  }
  return directory + images;
}

}  // namespace tobrine::formgen

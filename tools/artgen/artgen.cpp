// artgen: turns the control's pixel art (text) into Windows bitmaps and
// icons at build time, so no binary art is kept in the tree.
//
//   artgen bmp <art.txt> <out.bmp>
//   artgen ico <out.ico> <art.txt>...
//
// Art: one line per pixel row, top row first, one character per pixel:
// 0-9 and a-f pick a colour of the standard 16-colour palette, '.' is
// background (silver in a bitmap, transparent in an icon). Lines starting
// with '#' are comments. Every image is written with 4 bits per pixel; an
// icon image is padded to a square with background rows at the top.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Art {
  int width = 0;
  std::vector<std::string> rows;  // top row first
  int height() const { return static_cast<int>(rows.size()); }
};

constexpr int kBackground = -1;
constexpr int kSilver = 7;
// The 16-colour palette as RGBQUAD (blue, green, red, 0).
const uint8_t kPalette[16][4] = {
    {0x00, 0x00, 0x00, 0}, {0x00, 0x00, 0x80, 0}, {0x00, 0x80, 0x00, 0}, {0x00, 0x80, 0x80, 0},
    {0x80, 0x00, 0x00, 0}, {0x80, 0x00, 0x80, 0}, {0x80, 0x80, 0x00, 0}, {0xC0, 0xC0, 0xC0, 0},
    {0x80, 0x80, 0x80, 0}, {0x00, 0x00, 0xFF, 0}, {0x00, 0xFF, 0x00, 0}, {0x00, 0xFF, 0xFF, 0},
    {0xFF, 0x00, 0x00, 0}, {0xFF, 0x00, 0xFF, 0}, {0xFF, 0xFF, 0x00, 0}, {0xFF, 0xFF, 0xFF, 0}};

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "artgen: %s\n", why.c_str());
  std::exit(1);
}

int ColourOf(char c, const std::string& where) {
  if (c == '.') return kBackground;
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  Fail(where + ": bad pixel '" + std::string(1, c) + "'");
}

Art ReadArt(const std::string& path) {
  std::ifstream in(path);
  if (!in) Fail("cannot read " + path);
  Art art;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (art.width == 0) art.width = static_cast<int>(line.size());
    if (static_cast<int>(line.size()) != art.width) Fail(path + ": rows differ in width");
    for (char c : line) ColourOf(c, path);
    art.rows.push_back(line);
  }
  if (art.rows.empty() || art.width > 256 || art.height() > 256) Fail(path + ": no usable art");
  return art;
}

void Put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

int Stride(int width, int bits) {
  return (width * bits + 31) / 32 * 4;
}

// BITMAPINFOHEADER, palette and 4-bit pixels (bottom row first); for an
// icon the header counts the mask rows too and the AND mask follows.
std::vector<uint8_t> Dib(const Art& art, bool icon) {
  const int w = art.width, h = art.height();
  const int colourStride = Stride(w, 4), maskStride = Stride(w, 1);
  const uint32_t imageBytes = colourStride * h + (icon ? maskStride * h : 0);
  std::vector<uint8_t> out;
  Put32(out, 40);
  Put32(out, w);
  Put32(out, icon ? 2 * h : h);
  Put16(out, 1);
  Put16(out, 4);
  Put32(out, 0);  // BI_RGB
  Put32(out, imageBytes);
  Put32(out, 3780);  // 96 dpi in pixels per metre
  Put32(out, 3780);
  Put32(out, 16);
  Put32(out, 0);
  for (const auto& entry : kPalette) out.insert(out.end(), entry, entry + 4);
  for (int y = h - 1; y >= 0; --y) {
    std::vector<uint8_t> row(colourStride, 0);
    for (int x = 0; x < w; ++x) {
      int c = ColourOf(art.rows[y][x], "art");
      if (c == kBackground) c = icon ? 0 : kSilver;
      row[x / 2] |= uint8_t(x % 2 ? c : c << 4);
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  if (icon) {
    for (int y = h - 1; y >= 0; --y) {
      std::vector<uint8_t> row(maskStride, 0);
      for (int x = 0; x < w; ++x) {
        if (art.rows[y][x] == '.') row[x / 8] |= uint8_t(0x80 >> (x % 8));
      }
      out.insert(out.end(), row.begin(), row.end());
    }
  }
  return out;
}

void Write(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) Fail("cannot write " + path);
}

void WriteBitmap(const std::string& artPath, const std::string& outPath) {
  std::vector<uint8_t> dib = Dib(ReadArt(artPath), false);
  std::vector<uint8_t> file;
  Put16(file, 0x4D42);  // "BM"
  Put32(file, static_cast<uint32_t>(14 + dib.size()));
  Put32(file, 0);
  Put32(file, 14 + 40 + 16 * 4);
  file.insert(file.end(), dib.begin(), dib.end());
  Write(outPath, file);
}

void WriteIcon(const std::string& outPath, const std::vector<std::string>& artPaths) {
  std::vector<std::vector<uint8_t>> images;
  std::vector<int> sizes;
  for (const std::string& path : artPaths) {
    Art art = ReadArt(path);
    if (art.height() > art.width) Fail(path + ": an icon image is at most as high as wide");
    art.rows.insert(art.rows.begin(), art.width - art.height(), std::string(art.width, '.'));
    sizes.push_back(art.width);
    images.push_back(Dib(art, true));
  }
  std::vector<uint8_t> file;
  Put16(file, 0);
  Put16(file, 1);  // icon
  Put16(file, static_cast<uint32_t>(images.size()));
  uint32_t offset = static_cast<uint32_t>(6 + 16 * images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    file.push_back(uint8_t(sizes[i] == 256 ? 0 : sizes[i]));
    file.push_back(uint8_t(sizes[i] == 256 ? 0 : sizes[i]));
    file.push_back(16);  // colours
    file.push_back(0);
    Put16(file, 1);  // planes
    Put16(file, 4);  // bits per pixel
    Put32(file, static_cast<uint32_t>(images[i].size()));
    Put32(file, offset);
    offset += static_cast<uint32_t>(images[i].size());
  }
  for (const auto& image : images) file.insert(file.end(), image.begin(), image.end());
  Write(outPath, file);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string usage = "usage: artgen bmp <art> <out.bmp> | artgen ico <out.ico> <art>...";
  if (argc < 4) Fail(usage);
  const std::string kind = argv[1];
  if (kind == "bmp" && argc == 4) {
    WriteBitmap(argv[2], argv[3]);
  } else if (kind == "ico") {
    WriteIcon(argv[2], std::vector<std::string>(argv + 3, argv + argc));
  } else {
    Fail(usage);
  }
  return 0;
}

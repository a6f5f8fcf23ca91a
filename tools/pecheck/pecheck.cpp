// pecheck: checks a Windows module that cannot run on the build machine.
//
//   pecheck <module> [--machine i386|amd64] [--exports a,b,...]
//           [--exact-exports] [--module-name NAME] [--typelib win32|win64]
//           [--stdcall a@8,b@12,...] [--cdecl c,...]
//           [--static] [resource checks...]
//
// --exports        every name must be exported undecorated
// --exact-exports  and nothing else is exported
// --stdcall        i386: each export was compiled callee-pops (stdcall),
//                  taking that many bytes of arguments
// --cdecl          i386: each export was compiled caller-cleans (cdecl)
// --module-name    the export directory names the module so
// --typelib        the module must carry resource TYPELIB 1 holding a type
//                  library built for that system kind
// --static         the module may import only system DLLs (no MinGW runtime)
// Resource checks (each may be given more than once):
// --bitmap ID:WxHxBITS         bitmap ID has that size and colour depth
// --icon ID:WxHxBITS,...       icon group ID holds (at least) these images
// --dialog ID:X,Y,CX,CY        dialog template ID has that frame
// --strings ID,...             every string ID is present and not empty
// --version F.F.F.F,P.P.P.P    version block 1: file and product version,
//                              a dynamic library for 32-bit Windows
// --version-strings TABLE:KEY,...  that string table and translation exist
//                              and hold every key ("KEY=" : key present
//                              with an empty value)
// Prints what it checked; exits 1 on the first failure.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

std::vector<uint8_t> image;

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "pecheck: %s\n", why.c_str());
  std::exit(1);
}

uint32_t U16(size_t at) {
  if (at + 2 > image.size()) Fail("truncated file");
  return image[at] | image[at + 1] << 8;
}
uint32_t U32(size_t at) {
  if (at + 4 > image.size()) Fail("truncated file");
  return image[at] | image[at + 1] << 8 | image[at + 2] << 16 | uint32_t(image[at + 3]) << 24;
}

struct Section {
  uint32_t va, vsize, raw, rawsize;
};
std::vector<Section> sections;

// File offset of a relative virtual address.
size_t Offset(uint32_t rva) {
  for (const Section& s : sections) {
    uint32_t size = s.vsize > s.rawsize ? s.vsize : s.rawsize;
    if (rva >= s.va && rva < s.va + size) {
      size_t off = size_t(rva - s.va) + s.raw;
      if (off >= image.size()) Fail("address outside the file");
      return off;
    }
  }
  Fail("address in no section");
}

std::string CString(uint32_t rva) {
  size_t off = Offset(rva);
  std::string s;
  while (off < image.size() && image[off]) s += char(image[off++]);
  return s;
}

std::vector<std::string> Split(const std::string& list) {
  std::vector<std::string> out;
  std::stringstream ss(list);
  for (std::string item; std::getline(ss, item, ',');)
    if (!item.empty()) out.push_back(item);
  return out;
}

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// "A:B" split at the first colon.
std::pair<std::string, std::string> SplitId(const std::string& arg) {
  size_t colon = arg.find(':');
  if (colon == std::string::npos) Fail("expected ID:VALUE, got " + arg);
  return {arg.substr(0, colon), arg.substr(colon + 1)};
}

std::vector<long> Numbers(const std::string& text, const char* separators) {
  std::vector<long> out;
  std::string item;
  for (char c : text + separators[0]) {
    if (std::strchr(separators, c)) {
      if (item.empty()) Fail("bad number list " + text);
      out.push_back(std::strtol(item.c_str(), nullptr, 10));
      item.clear();
    } else {
      item += c;
    }
  }
  return out;
}

// --- resources ---------------------------------------------------------------

constexpr uint32_t kRtBitmap = 2, kRtString = 6, kRtDialog = 5, kRtVersion = 16,
                   kRtGroupIcon = 14, kRtIcon = 3;

size_t resourceRoot = 0;  // file offset of the resource directory

// Finds the entry with `name` (or with id `id`) in a resource directory;
// returns its offset field, or fails.
uint32_t FindEntry(size_t dir, const char* name, uint32_t id) {
  uint32_t named = U16(dir + 12), ids = U16(dir + 14);
  for (uint32_t i = 0; i < named + ids; ++i) {
    size_t e = dir + 16 + i * 8;
    uint32_t n = U32(e);
    if (name && (n & 0x80000000u)) {
      size_t s = resourceRoot + (n & 0x7FFFFFFF);
      uint32_t len = U16(s);
      std::string text;
      for (uint32_t k = 0; k < len; ++k) text += char(U16(s + 2 + 2 * k));
      if (text == name) return U32(e + 4);
    } else if (!name && !(n & 0x80000000u) && n == id) {
      return U32(e + 4);
    }
  }
  Fail(std::string("resource ") + (name ? name : std::to_string(id)) + " missing");
}

struct Blob {
  size_t offset;  // in the file
  uint32_t size;
};

// The data of resource (type, id) in its first language.
Blob Resource(const char* typeName, uint32_t type, uint32_t id) {
  if (!resourceRoot) Fail("no resources");
  uint32_t t = FindEntry(resourceRoot, typeName, type);
  if (!(t & 0x80000000u)) Fail("bad resource tree");
  uint32_t n = FindEntry(resourceRoot + (t & 0x7FFFFFFF), nullptr, id);
  if (!(n & 0x80000000u)) Fail("bad resource tree");
  size_t langDir = resourceRoot + (n & 0x7FFFFFFF);
  if (U16(langDir + 12) + U16(langDir + 14) == 0) Fail("resource " + std::to_string(id) + " has no data");
  size_t data = resourceRoot + U32(langDir + 16 + 4);
  Blob blob{Offset(U32(data)), U32(data + 4)};
  if (blob.offset + blob.size > image.size()) Fail("resource outside the file");
  return blob;
}

void CheckBitmap(const std::string& arg) {
  auto [id, shape] = SplitId(arg);
  std::vector<long> want = Numbers(shape, "x");
  if (want.size() != 3) Fail("--bitmap wants ID:WxHxBITS");
  Blob b = Resource(nullptr, kRtBitmap, std::stoul(id));
  long w = long(U32(b.offset + 4)), h = long(U32(b.offset + 8)), bits = long(U16(b.offset + 14));
  if (w != want[0] || h != want[1] || bits != want[2]) {
    Fail("bitmap " + id + " is " + std::to_string(w) + "x" + std::to_string(h) + "x" +
         std::to_string(bits));
  }
  std::printf("bitmap %s: %s\n", id.c_str(), shape.c_str());
}

void CheckIcon(const std::string& arg) {
  auto [id, shapes] = SplitId(arg);
  Blob g = Resource(nullptr, kRtGroupIcon, std::stoul(id));
  uint32_t count = U16(g.offset + 4);
  for (const std::string& shape : Split(shapes)) {
    std::vector<long> want = Numbers(shape, "x");
    if (want.size() != 3) Fail("--icon wants ID:WxHxBITS,...");
    bool found = false;
    for (uint32_t i = 0; i < count && !found; ++i) {
      size_t e = g.offset + 6 + i * 14;
      long w = image[e] ? image[e] : 256, h = image[e + 1] ? image[e + 1] : 256;
      long bits = long(U16(e + 6));
      found = w == want[0] && h == want[1] && bits == want[2];
      if (found) Resource(nullptr, kRtIcon, U16(e + 12));  // the image itself exists
    }
    if (!found) Fail("icon " + id + " has no " + shape + " image");
  }
  std::printf("icon %s: %s\n", id.c_str(), shapes.c_str());
}

void CheckDialog(const std::string& arg) {
  auto [id, frame] = SplitId(arg);
  std::vector<long> want = Numbers(frame, ",");
  if (want.size() != 4) Fail("--dialog wants ID:X,Y,CX,CY");
  Blob d = Resource(nullptr, kRtDialog, std::stoul(id));
  size_t at = d.offset + 10;  // DLGTEMPLATE: style, exstyle, item count, then the frame
  if (U16(d.offset + 2) == 0xFFFF) at = d.offset + 18;  // DLGTEMPLATEEX
  for (int i = 0; i < 4; ++i) {
    long got = int16_t(U16(at + 2 * i));
    if (got != want[i]) Fail("dialog " + id + " frame differs from " + frame);
  }
  std::printf("dialog %s: %s\n", id.c_str(), frame.c_str());
}

void CheckStrings(const std::string& arg) {
  for (long id : Numbers(arg, ",")) {
    Blob t = Resource(nullptr, kRtString, uint32_t(id / 16 + 1));
    size_t at = t.offset;
    for (long i = 0; i < id % 16; ++i) at += 2 + 2 * U16(at);
    if (U16(at) == 0) Fail("string " + std::to_string(id) + " is empty");
  }
  std::printf("strings %s: present\n", arg.c_str());
}

// One node of a version block: key, value and the range of its children.
struct VersionNode {
  std::string key;
  size_t value;
  uint32_t valueLength;  // in bytes for binary values, in characters for text
  size_t children, end;
};

VersionNode ReadNode(size_t at) {
  VersionNode n;
  n.end = at + U16(at);
  n.valueLength = U16(at + 2);
  size_t p = at + 6;
  for (uint32_t c; (c = U16(p)) != 0; p += 2) n.key += char(c);
  p = (p + 2 + 3) & ~size_t(3);
  n.value = p;
  size_t valueBytes = U16(at + 4) == 1 ? 2 * n.valueLength : n.valueLength;
  n.children = (p + valueBytes + 3) & ~size_t(3);
  if (n.end > image.size() || n.children > n.end + 3) Fail("bad version block");
  return n;
}

std::vector<VersionNode> Children(const VersionNode& parent) {
  std::vector<VersionNode> out;
  for (size_t at = parent.children; at + 6 <= parent.end;) {
    VersionNode n = ReadNode(at);
    if (n.end <= at) Fail("bad version block");
    out.push_back(n);
    at = (n.end + 3) & ~size_t(3);
  }
  return out;
}

const VersionNode* Child(const std::vector<VersionNode>& nodes, const std::string& key) {
  for (const VersionNode& n : nodes)
    if (n.key == key) return &n;
  return nullptr;
}

VersionNode VersionRoot() {
  Blob v = Resource(nullptr, kRtVersion, 1);
  VersionNode root = ReadNode(v.offset);
  if (root.key != "VS_VERSION_INFO" || root.valueLength < 52 || U32(root.value) != 0xFEEF04BD) {
    Fail("version block 1 has no fixed file information");
  }
  return root;
}

void CheckVersion(const std::string& arg) {
  std::vector<std::string> parts = Split(arg);
  if (parts.size() != 2) Fail("--version wants F.F.F.F,P.P.P.P");
  VersionNode root = VersionRoot();
  for (int i = 0; i < 2; ++i) {
    std::vector<long> want = Numbers(parts[i], ".");
    if (want.size() != 4) Fail("--version wants F.F.F.F,P.P.P.P");
    size_t at = root.value + 8 + 8 * i;
    long got[4] = {long(U32(at) >> 16), long(U32(at) & 0xFFFF), long(U32(at + 4) >> 16),
                   long(U32(at + 4) & 0xFFFF)};
    for (int k = 0; k < 4; ++k)
      if (got[k] != want[k]) Fail("version " + parts[i] + " differs");
  }
  if (U32(root.value + 32) != 0x4 || U32(root.value + 36) != 0x2) {  // VOS__WINDOWS32, VFT_DLL
    Fail("version block is not a dynamic library for 32-bit Windows");
  }
  std::printf("version %s\n", arg.c_str());
}

void CheckVersionStrings(const std::string& arg) {
  auto [table, keys] = SplitId(arg);
  VersionNode root = VersionRoot();
  std::vector<VersionNode> top = Children(root);
  const VersionNode* files = Child(top, "StringFileInfo");
  const VersionNode* vars = Child(top, "VarFileInfo");
  if (!files || !vars) Fail("version block lacks StringFileInfo or VarFileInfo");
  std::vector<VersionNode> tables = Children(*files);
  const VersionNode* strings = Child(tables, table);
  if (!strings) Fail("version block lacks string table " + table);
  const uint32_t language = std::stoul(table.substr(0, 4), nullptr, 16);
  const uint32_t codePage = std::stoul(table.substr(4), nullptr, 16);
  std::vector<VersionNode> varList = Children(*vars);
  const VersionNode* translation = Child(varList, "Translation");
  if (!translation || translation->valueLength < 4 || U16(translation->value) != language ||
      U16(translation->value + 2) != codePage) {
    Fail("version block lacks the translation of " + table);
  }
  std::vector<VersionNode> values = Children(*strings);
  for (std::string key : Split(keys)) {
    const bool empty = key.back() == '=';
    if (empty) key.pop_back();
    const VersionNode* n = Child(values, key);
    if (!n) Fail("version string " + key + " missing");
    const bool hasText = n->valueLength > 0 && U16(n->value) != 0;
    if (empty && hasText) Fail("version string " + key + " is not empty");
    if (!empty && !hasText) Fail("version string " + key + " is empty");
  }
  std::printf("version strings %s: %s\n", table.c_str(), keys.c_str());
}

}  // namespace

// One symbol of the module's COFF symbol table: its name and address.
struct Symbol {
  std::string name;
  uint32_t rva;
};

// The COFF symbol table that the linker leaves in an unstripped image. On
// i386 the compiler names a function after its calling convention: "_f@N"
// for a callee-pops (stdcall) definition taking N argument bytes, "_f" for
// a caller-cleans (cdecl) one. That record is what the calling convention
// check reads: the linker's plain-name aliases (the .def's undecorated
// names) sit beside it at the same address.
std::vector<Symbol> ReadSymbols(size_t pe) {
  uint32_t table = U32(pe + 12), count = U32(pe + 16);
  if (!table || !count) Fail("no symbol table (stripped module): calling conventions unknown");
  size_t strings = size_t(table) + size_t(count) * 18;
  std::vector<Symbol> out;
  for (uint32_t i = 0; i < count; ++i) {
    size_t e = table + size_t(i) * 18;
    std::string name;
    if (U32(e) == 0) {
      size_t at = strings + U32(e + 4);
      while (at < image.size() && image[at]) name += char(image[at++]);
    } else {
      for (int k = 0; k < 8 && image[e + k]; ++k) name += char(image[e + k]);
    }
    int section = int16_t(U16(e + 12));
    if (section >= 1 && size_t(section) <= sections.size()) {
      out.push_back({name, sections[section - 1].va + U32(e + 8)});
    }
    i += image[e + 17];  // auxiliary entries
  }
  return out;
}

int main(int argc, char** argv) {
  if (argc < 2) Fail("usage: pecheck <module> [--machine m] [--exports a,b] [--typelib k] [--static]");
  std::string path = argv[1], machine, typelib;
  std::vector<std::string> exports, stdcalls, cdecls;
  std::string moduleName;
  bool staticOnly = false, exactExports = false;
  std::vector<std::pair<void (*)(const std::string&), std::string>> resourceChecks;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Fail("missing value for " + a);
      return argv[++i];
    };
    if (a == "--machine") machine = value();
    else if (a == "--exports") exports = Split(value());
    else if (a == "--stdcall") stdcalls = Split(value());
    else if (a == "--cdecl") cdecls = Split(value());
    else if (a == "--typelib") typelib = value();
    else if (a == "--static") staticOnly = true;
    else if (a == "--exact-exports") exactExports = true;
    else if (a == "--module-name") moduleName = value();
    else if (a == "--bitmap") resourceChecks.emplace_back(CheckBitmap, value());
    else if (a == "--icon") resourceChecks.emplace_back(CheckIcon, value());
    else if (a == "--dialog") resourceChecks.emplace_back(CheckDialog, value());
    else if (a == "--strings") resourceChecks.emplace_back(CheckStrings, value());
    else if (a == "--version") resourceChecks.emplace_back(CheckVersion, value());
    else if (a == "--version-strings") resourceChecks.emplace_back(CheckVersionStrings, value());
    else Fail("unknown option " + a);
  }

  std::ifstream f(path, std::ios::binary);
  if (!f) Fail("cannot read " + path);
  image.assign(std::istreambuf_iterator<char>(f), {});
  if (U16(0) != 0x5A4D) Fail("not an MZ module");
  size_t pe = U32(0x3C);
  if (U32(pe) != 0x00004550) Fail("no PE signature");
  uint32_t mach = U16(pe + 4);
  uint32_t nsect = U16(pe + 6);
  uint32_t optSize = U16(pe + 20);
  size_t opt = pe + 24;
  bool pe32plus = U16(opt) == 0x20B;
  if (!machine.empty()) {
    uint32_t want = machine == "i386" ? 0x14C : machine == "amd64" ? 0x8664 : 0;
    if (mach != want) Fail("machine type is not " + machine);
    std::printf("machine %s\n", machine.c_str());
  }
  size_t dirs = opt + (pe32plus ? 112 : 96);
  size_t sect = opt + optSize;
  for (uint32_t i = 0; i < nsect; ++i) {
    size_t s = sect + i * 40;
    sections.push_back({U32(s + 12), U32(s + 8), U32(s + 20), U32(s + 16)});
  }
  auto dirRva = [&](int index) { return U32(dirs + index * 8); };

  // Export name -> address of its code.
  std::map<std::string, uint32_t> exported;
  if (dirRva(0)) {
    size_t ed = Offset(dirRva(0));
    uint32_t functions = U32(ed + 28), names = U32(ed + 32), ordinals = U32(ed + 36);
    uint32_t count = U32(ed + 24);
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t ordinal = U16(Offset(ordinals) + i * 2);
      exported[CString(U32(Offset(names) + i * 4))] = U32(Offset(functions) + ordinal * 4);
    }
  }
  if (!exports.empty()) {
    if (!dirRva(0)) Fail("no export directory");
    size_t ed = Offset(dirRva(0));
    for (const std::string& e : exports)
      if (!exported.count(e)) Fail("export " + e + " missing (undecorated)");
    if (exactExports && exported.size() != exports.size()) {
      Fail("module exports " + std::to_string(exported.size()) + " names, not " +
           std::to_string(exports.size()));
    }
    const std::string name = CString(U32(ed + 12));
    if (!moduleName.empty() && name != moduleName) Fail("module name is " + name);
    std::printf("exports: %zu names present (module %s)\n", exports.size(), name.c_str());
  }

  if (!stdcalls.empty() || !cdecls.empty()) {
    if (mach != 0x14C) Fail("calling conventions are checked on i386 modules only");
    std::vector<Symbol> symbols = ReadSymbols(pe);
    // The decorated names the compiler gave the code at an export's address.
    auto decorated = [&](const std::string& name) {
      auto at = exported.find(name);
      if (at == exported.end()) Fail("export " + name + " missing");
      std::set<std::string> found;
      for (const Symbol& s : symbols) {
        if (s.rva == at->second && s.name.compare(0, name.size() + 2, "_" + name + "@") == 0) {
          found.insert(s.name.substr(1));
        }
      }
      return found;
    };
    for (const std::string& e : stdcalls) {
      std::string name = e.substr(0, e.find('@'));
      std::set<std::string> found = decorated(name);
      if (!found.count(e)) {
        Fail("export " + name + " is not callee-pops as " + e +
             (found.empty() ? " (compiled caller-cleans)" : " (compiled as " + *found.begin() + ")"));
      }
    }
    for (const std::string& name : cdecls) {
      std::set<std::string> found = decorated(name);
      if (!found.empty()) Fail("export " + name + " is not caller-cleans (compiled as " + *found.begin() + ")");
    }
    std::printf("calling conventions: %zu callee-pops, %zu caller-cleans\n", stdcalls.size(),
                cdecls.size());
  }
  if (dirRva(2)) resourceRoot = Offset(dirRva(2));

  if (staticOnly && dirRva(1)) {
    static const std::set<std::string> system = {
        "kernel32.dll", "user32.dll", "gdi32.dll", "ole32.dll", "oleaut32.dll", "advapi32.dll",
        "ws2_32.dll", "msvcrt.dll", "shell32.dll", "comctl32.dll", "comdlg32.dll", "uuid.dll",
        "olepro32.dll", "version.dll", "shlwapi.dll", "winmm.dll", "ntdll.dll", "api-ms-win-crt-runtime-l1-1-0.dll"};
    for (size_t d = Offset(dirRva(1));; d += 20) {
      uint32_t nameRva = U32(d + 12);
      if (!nameRva) break;
      std::string dll = Lower(CString(nameRva));
      if (!system.count(dll)) Fail("imports non-system DLL " + dll);
    }
    std::printf("imports: system DLLs only\n");
  }

  if (!typelib.empty()) {
    Blob t = Resource("TYPELIB", 0, 1);
    if (t.size < 24 || U32(t.offset) != 0x5446534D) Fail("TYPELIB 1 is not a type library");
    uint32_t syskind = U32(t.offset + 20) & 0xF;  // SYS_WIN32 = 1, SYS_WIN64 = 3
    uint32_t want = typelib == "win32" ? 1 : typelib == "win64" ? 3 : 99;
    if (syskind != want) Fail("TYPELIB 1 is not a " + typelib + " type library");
    std::printf("TYPELIB 1: %u bytes, %s\n", t.size, typelib.c_str());
  }
  for (const auto& [check, arg] : resourceChecks) check(arg);
  std::printf("%s: ok\n", path.c_str());
  return 0;
}

// pecheck: checks a Windows module that cannot run on the build machine.
//
//   pecheck <module> [--machine i386|amd64] [--exports a,b,...]
//           [--stdcall a@8,b@12,...] [--cdecl c,...]
//           [--typelib win32|win64] [--static]
//
// --exports   every name must be exported undecorated
// --stdcall   32-bit: each export is compiled callee-pops (stdcall) taking
//             the given number of argument bytes
// --cdecl     32-bit: each export is compiled caller-cleans (cdecl)
// --typelib   the module must carry resource TYPELIB 1 holding a type
//             library built for that system kind
// --static    the module may import only system DLLs (no MinGW runtime)
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
  bool staticOnly = false;
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
    for (const std::string& e : exports)
      if (!exported.count(e)) Fail("export " + e + " missing (undecorated)");
    std::printf("exports: %zu names present (module %s)\n", exports.size(),
                CString(U32(Offset(dirRva(0)) + 12)).c_str());
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
    if (!dirRva(2)) Fail("no resources");
    size_t root = Offset(dirRva(2));
    // Finds the entry named `name` (or with id `id`) in a resource directory;
    // returns its offset field.
    auto find = [&](size_t dir, const char* name, uint32_t id) -> uint32_t {
      uint32_t named = U16(dir + 12), ids = U16(dir + 14);
      for (uint32_t i = 0; i < named + ids; ++i) {
        size_t e = dir + 16 + i * 8;
        uint32_t n = U32(e);
        if (name && (n & 0x80000000u)) {
          size_t s = root + (n & 0x7FFFFFFF);
          uint32_t len = U16(s);
          std::string text;
          for (uint32_t k = 0; k < len; ++k) text += char(U16(s + 2 + 2 * k));
          if (text == name) return U32(e + 4);
        } else if (!name && !(n & 0x80000000u) && n == id) {
          return U32(e + 4);
        }
      }
      Fail(std::string("resource ") + (name ? name : std::to_string(id)) + " missing");
    };
    uint32_t t = find(root, "TYPELIB", 0);
    if (!(t & 0x80000000u)) Fail("bad resource tree");
    uint32_t n = find(root + (t & 0x7FFFFFFF), nullptr, 1);
    if (!(n & 0x80000000u)) Fail("bad resource tree");
    size_t langDir = root + (n & 0x7FFFFFFF);
    if (U16(langDir + 12) + U16(langDir + 14) == 0) Fail("TYPELIB 1 has no data");
    uint32_t leaf = U32(langDir + 16 + 4);
    size_t data = root + leaf;
    size_t tlb = Offset(U32(data));
    uint32_t size = U32(data + 4);
    if (size < 24 || U32(tlb) != 0x5446534D) Fail("TYPELIB 1 is not a type library");
    uint32_t syskind = U32(tlb + 20) & 0xF;  // SYS_WIN32 = 1, SYS_WIN64 = 3
    uint32_t want = typelib == "win32" ? 1 : typelib == "win64" ? 3 : 99;
    if (syskind != want) Fail("TYPELIB 1 is not a " + typelib + " type library");
    std::printf("TYPELIB 1: %u bytes, %s\n", size, typelib.c_str());
  }
  std::printf("%s: ok\n", path.c_str());
  return 0;
}

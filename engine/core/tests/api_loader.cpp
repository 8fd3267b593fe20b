// api_loader.cpp - loads libqo32.so by path and binds its exports by name.
#include "api_loader.h"

#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "qo/dynlib.h"

namespace {

struct Loaded {
    void* lib = nullptr;
    QoApi api;
    std::vector<std::string> missing;
    std::string error;
};

Loaded load() {
    Loaded l;
    l.lib = qo::dynlib::open(QO_LIBRARY_PATH);
    if (!l.lib) {
        l.error = qo::dynlib::lastError();
        return l;
    }
#define QO_API_BIND(name)                                                               \
    l.api.name = reinterpret_cast<decltype(&::name)>(qo::dynlib::symbol(l.lib, #name)); \
    if (!l.api.name) l.missing.push_back(#name);
    QO_EXPORTS(QO_API_BIND)
#undef QO_API_BIND
    return l;  // the library stays open for the life of the process
}

const Loaded& loaded() {
    static const Loaded l = load();
    return l;
}

template <class T>
bool readAt(const std::string& file, uint64_t offset, T* out, size_t count = 1) {
    if (offset > file.size() || count * sizeof(T) > file.size() - offset) return false;
    std::memcpy(out, file.data() + offset, count * sizeof(T));
    return true;
}

}  // namespace

const QoApi& qoApi() {
    const Loaded& l = loaded();
    if (!l.lib) ADD_FAILURE() << "cannot load " << QO_LIBRARY_PATH << ": " << l.error;
    return l.api;
}

const char* libraryPath() { return QO_LIBRARY_PATH; }

std::vector<std::string> missingExports() {
    const Loaded& l = loaded();
    if (!l.lib) return {"<library not loaded>"};
    return l.missing;
}

// Walks the section headers for SHT_DYNSYM and lists the names of its defined
// global and weak symbols (the names another module can bind to).
std::vector<std::string> definedDynamicSymbols(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> names;
    Elf64_Ehdr eh;
    if (!readAt(file, 0, &eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
        eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_shentsize != sizeof(Elf64_Shdr)) {
        ADD_FAILURE() << path << " is not a 64-bit ELF file";
        return names;
    }
    std::vector<Elf64_Shdr> sections(eh.e_shnum);
    if (!readAt(file, eh.e_shoff, sections.data(), sections.size())) return names;
    for (const Elf64_Shdr& sh : sections) {
        if (sh.sh_type != SHT_DYNSYM || sh.sh_link >= sections.size()) continue;
        const Elf64_Shdr& strtab = sections[sh.sh_link];
        std::vector<Elf64_Sym> syms(sh.sh_size / sizeof(Elf64_Sym));
        if (!readAt(file, sh.sh_offset, syms.data(), syms.size())) continue;
        for (const Elf64_Sym& s : syms) {
            int bind = ELF64_ST_BIND(s.st_info);
            if (s.st_shndx == SHN_UNDEF || (bind != STB_GLOBAL && bind != STB_WEAK)) continue;
            if (ELF64_ST_TYPE(s.st_info) == STT_SECTION || s.st_name >= strtab.sh_size) continue;
            if (strtab.sh_offset + s.st_name >= file.size()) continue;
            names.emplace_back(file.c_str() + strtab.sh_offset + s.st_name);
        }
    }
    return names;
}

void ApiTest::SetUp() {
    ASSERT_TRUE(api.InitQo) << "libqo32.so did not load";
    ASSERT_EQ(api.InitQo(), 1);
}

void ApiTest::TearDown() {
    if (api.FreeQo) api.FreeQo();
}

std::u16string u16(const char* ascii) {
    std::u16string s;
    for (; *ascii; ++ascii) s.push_back(static_cast<char16_t>(static_cast<unsigned char>(*ascii)));
    return s;
}

QoValue intValue(int64_t i) {
    QoValue v;
    std::memset(&v, 0, sizeof v);
    v.i = i;
    v.optype = v.type = QO_INT;
    return v;
}

QoValue objectValue(int32_t type, QoHandle h) {
    QoValue v;
    std::memset(&v, 0, sizeof v);
    v.h = h;
    v.optype = v.type = type;
    return v;
}

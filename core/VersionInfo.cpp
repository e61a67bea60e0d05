#include "core/VersionInfo.h"

#include <elf.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "platform/Types.h"

#ifndef MORVENDA_VERSION
#define MORVENDA_VERSION "0.0.0"
#endif

namespace {
constexpr size_t kMaxBlock = 64 * 1024;
constexpr size_t kMaxSections = 4096;
constexpr const char* kBlockMagic = "MorvendaVersionInfo";

// US English, Unicode: the translation the installer tools look at first.
__attribute__((used, section(".morvenda_version"))) const char kVersionBlock[] =
    "MorvendaVersionInfo\n"
    "Translation=040904b0\n"
    "[040904b0]\n"
    "CompanyName=Morvenda\n"
    "FileDescription=Morvenda Data Recovery\n"
    "ProductName=Morvenda Data Recovery\n"
    "ProductVersion=" MORVENDA_VERSION "\n"
    "LegalCopyright=Copyright (C) 2026 Morvenda. All rights reserved.\n";

bool ReadAt(std::ifstream& in, u64 offset, void* out, size_t bytes, u64 fileSize) {
    if (offset > fileSize || bytes > fileSize - offset) return false;
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(static_cast<char*>(out), static_cast<std::streamsize>(bytes));
    return static_cast<size_t>(in.gcount()) == bytes;
}

struct Section {
    u32 name;
    u64 offset;
    u64 size;
};

template <class Ehdr, class Shdr>
bool ReadSections(std::ifstream& in, u64 fileSize, std::vector<Section>& sections, u32& nameTable) {
    Ehdr eh;
    if (!ReadAt(in, 0, &eh, sizeof(eh), fileSize)) return false;
    if (eh.e_shentsize != sizeof(Shdr) || eh.e_shnum == 0 || eh.e_shnum > kMaxSections) return false;
    if (eh.e_shstrndx >= eh.e_shnum) return false;
    for (u32 i = 0; i < eh.e_shnum; ++i) {
        Shdr sh;
        if (!ReadAt(in, eh.e_shoff + static_cast<u64>(i) * sizeof(Shdr), &sh, sizeof(sh), fileSize)) return false;
        sections.push_back({sh.sh_name, sh.sh_offset, sh.sh_type == SHT_NOBITS ? 0 : sh.sh_size});
    }
    nameTable = eh.e_shstrndx;
    return true;
}

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}
}  // namespace

bool ReadElfSection(const char* path, const char* sectionName, size_t maxBytes, std::string* out) {
    if (!path || !sectionName || !out) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    in.seekg(0, std::ios::end);
    const u64 fileSize = static_cast<u64>(in.tellg());
    unsigned char ident[EI_NIDENT];
    if (!ReadAt(in, 0, ident, sizeof(ident), fileSize) || std::memcmp(ident, ELFMAG, SELFMAG) != 0) return false;
    if (ident[EI_DATA] != ELFDATA2LSB) return false;
    std::vector<Section> sections;
    u32 nameTable = 0;
    const bool ok = ident[EI_CLASS] == ELFCLASS64 ? ReadSections<Elf64_Ehdr, Elf64_Shdr>(in, fileSize, sections, nameTable)
                    : ident[EI_CLASS] == ELFCLASS32 ? ReadSections<Elf32_Ehdr, Elf32_Shdr>(in, fileSize, sections, nameTable)
                                                    : false;
    if (!ok) return false;
    const Section& names = sections[nameTable];
    const size_t wanted = std::strlen(sectionName);
    for (const Section& s : sections) {
        if (s.name >= names.size || names.size - s.name < wanted + 1) continue;
        std::string name(wanted + 1, '\0');
        if (!ReadAt(in, names.offset + s.name, name.data(), wanted + 1, fileSize)) continue;
        if (std::memcmp(name.data(), sectionName, wanted + 1) != 0) continue;
        if (s.size > maxBytes) return false;
        out->assign(static_cast<size_t>(s.size), '\0');
        return ReadAt(in, s.offset, out->data(), static_cast<size_t>(s.size), fileSize);
    }
    return false;
}

bool ParseVersionBlock(const std::string& block, std::string* copyright, std::string* version) {
    std::vector<std::string> translations;
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> tables;
    size_t pos = 0;
    bool first = true;
    while (pos < block.size()) {
        size_t end = block.find('\n', pos);
        if (end == std::string::npos) end = block.size();
        std::string line = Trim(block.substr(pos, end - pos));
        pos = end + 1;
        // The section may be padded with zero bytes after the text.
        if (const size_t nul = line.find('\0'); nul != std::string::npos) line.resize(nul);
        if (first) {
            first = false;
            if (line != kBlockMagic) return false;
            continue;
        }
        if (line.empty()) continue;
        if (line.front() == '[' && line.back() == ']') {
            tables.push_back({line.substr(1, line.size() - 2), {}});
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = Trim(line.substr(0, eq));
        const std::string value = Trim(line.substr(eq + 1));
        if (key == "Translation") translations.push_back(value);
        else if (!tables.empty()) tables.back().second.push_back({key, value});
    }
    if (translations.empty()) return false;
    auto lookup = [&](const std::string& translation, const char* key, bool* found) {
        *found = false;
        for (const auto& [name, values] : tables) {
            if (name != translation) continue;
            for (const auto& [k, v] : values)
                if (k == key) {
                    *found = true;
                    return v;
                }
        }
        return std::string();
    };
    for (const std::string& t : translations) {
        bool found = false;
        const std::string v = lookup(t, "ProductVersion", &found);
        if (version) *version = v;
        const std::string c = lookup(t, "LegalCopyright", &found);
        if (copyright) *copyright = c;
        if (found) break;
    }
    return true;
}

int ReadVersionStrings(const char* modulePath, std::string* copyright, std::string* version) {
    if (!modulePath) return -1;
    std::string block;
    if (!ReadElfSection(modulePath, kVersionSectionName, kMaxBlock, &block)) return -2;
    if (copyright) copyright->clear();
    if (version) version->clear();
    ParseVersionBlock(block, copyright, version);
    return 0;
}

const char* CompiledVersionBlock() { return kVersionBlock; }
const char* ProductVersionText() { return MORVENDA_VERSION; }

// The dynamic symbol table of a loaded library, read from its file.
#include <dlfcn.h>
#include <link.h>
#include <string.h>

#include <string>
#include <vector>

#include "vakotest/exports.h"
#include "vakotest/files.h"

namespace vakotest {

std::vector<std::string> ExportedFunctions(const void *fn)
{
    Dl_info info;
    if (!dladdr(fn, &info) || !info.dli_fname)
        return {};
    // The file is of this process's own class and byte order (the symbol
    // type and binding bits are the same in both classes).
    const std::string image = ReadFile(info.dli_fname);
    auto at = [&](size_t off, size_t n) { return off <= image.size() && n <= image.size() - off; };
    if (!at(0, sizeof(ElfW(Ehdr))))
        return {};
    const auto *eh = reinterpret_cast<const ElfW(Ehdr) *>(image.data());
    if (memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 || !at(eh->e_shoff, size_t{eh->e_shnum} * sizeof(ElfW(Shdr))))
        return {};
    const auto *sh = reinterpret_cast<const ElfW(Shdr) *>(image.data() + eh->e_shoff);
    std::vector<std::string> names;
    for (unsigned i = 0; i < eh->e_shnum; i++) {
        if (sh[i].sh_type != SHT_DYNSYM || sh[i].sh_link >= eh->e_shnum)
            continue;
        const ElfW(Shdr) &strtab = sh[sh[i].sh_link];
        if (!at(sh[i].sh_offset, sh[i].sh_size) || !at(strtab.sh_offset, strtab.sh_size))
            return {};
        const auto *sym = reinterpret_cast<const ElfW(Sym) *>(image.data() + sh[i].sh_offset);
        for (size_t k = 0; k < sh[i].sh_size / sizeof(ElfW(Sym)); k++) {
            if (sym[k].st_shndx == SHN_UNDEF || ELF64_ST_TYPE(sym[k].st_info) != STT_FUNC ||
                ELF64_ST_BIND(sym[k].st_info) != STB_GLOBAL || sym[k].st_name >= strtab.sh_size)
                continue;
            names.emplace_back(image.data() + strtab.sh_offset + sym[k].st_name);
        }
    }
    return names;
}

} // namespace vakotest

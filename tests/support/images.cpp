#include "images.h"

#include <cstring>

namespace ks_test_image {


void put(std::string &s, const void *p, size_t n) { s.append(static_cast<const char *>(p), n); }

std::string note(uint32_t type, const std::string &desc, const char *name)
{
    std::string n;
    put<uint32_t>(n, static_cast<uint32_t>(strlen(name) + 1));
    put<uint32_t>(n, static_cast<uint32_t>(desc.size()));
    put<uint32_t>(n, type);
    n.append(name, strlen(name) + 1);
    n.resize((n.size() + 3) & ~size_t(3), '\0');
    n += desc;
    n.resize((n.size() + 3) & ~size_t(3), '\0');
    return n;
}

std::string prstatus(int32_t tid, int16_t signal, uint64_t pc, uint64_t sp)
{
    std::string d(336, '\0');
    memcpy(&d[12], &signal, 2);
    memcpy(&d[32], &tid, 4);
    memcpy(&d[112 + 16 * 8], &pc, 8);
    memcpy(&d[112 + 19 * 8], &sp, 8);
    return note(NT_PRSTATUS, d);
}

std::string siginfo(int32_t signal, int32_t code, uint64_t address)
{
    std::string d(128, '\0');
    memcpy(&d[0], &signal, 4);
    memcpy(&d[8], &code, 4);
    memcpy(&d[16], &address, 8);
    return note(NT_SIGINFO, d);
}

std::string files(uint64_t count, const std::vector<std::string> &names)
{
    std::string d;
    put<uint64_t>(d, count);
    put<uint64_t>(d, 4096);
    for (size_t i = 0; i < names.size(); i++) {
        put<uint64_t>(d, 0x400000 + i * 0x100000);
        put<uint64_t>(d, 0x400000 + i * 0x100000 + 0x10000);
        put<uint64_t>(d, 2); // pages into the file
    }
    for (auto &n : names)
        d.append(n.c_str(), n.size() + 1);
    return note(NT_FILE, d);
}

std::string image(const std::string &notes, size_t memory, uint8_t klass, uint8_t data, uint16_t type)
{
    Elf64_Ehdr eh = {};
    Elf64_Phdr ph[2] = {};
    memcpy(eh.e_ident, ELFMAG, SELFMAG);
    eh.e_ident[EI_CLASS] = klass;
    eh.e_ident[EI_DATA] = data;
    eh.e_ident[EI_VERSION] = EV_CURRENT;
    eh.e_type = type;
    eh.e_machine = EM_X86_64;
    eh.e_phoff = sizeof eh;
    eh.e_phentsize = sizeof(Elf64_Phdr);
    eh.e_phnum = 2;
    ph[0].p_type = PT_NOTE;
    ph[0].p_offset = sizeof eh + sizeof ph;
    ph[0].p_filesz = notes.size();
    ph[1].p_type = PT_LOAD;
    ph[1].p_offset = (ph[0].p_offset + notes.size() + 4095) & ~uint64_t(4095);
    ph[1].p_filesz = memory;
    std::string s;
    put(s, &eh, sizeof eh);
    put(s, ph, sizeof ph);
    s += notes;
    s.resize(ph[1].p_offset + memory, 'm');
    return s;
}

} // namespace ks_test_image

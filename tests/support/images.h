#ifndef KS_TESTS_IMAGES_H
#define KS_TESTS_IMAGES_H

// Core images built by hand, laid out as the kernel lays them out: the ELF
// header, the program headers, the notes, then memory.

#include <cstdint>
#include <elf.h>
#include <string>
#include <vector>

namespace ks_test_image {

// Appends the bytes of a value as the machine lays it out.
void put(std::string &s, const void *p, size_t n);
template <typename T> void put(std::string &s, T v) { put(s, &v, sizeof v); }

// One note with its name and descriptor, each padded to 4 bytes.
std::string note(uint32_t type, const std::string &desc, const char *name = "CORE");
// NT_PRSTATUS of an x86_64 thread.
std::string prstatus(int32_t tid, int16_t signal, uint64_t pc, uint64_t sp);
std::string siginfo(int32_t signal, int32_t code, uint64_t address);
// NT_FILE: the i-th name mapped at 0x400000 + i MiB, 64 KiB long, 2 pages into its file.
std::string files(uint64_t count, const std::vector<std::string> &names);
// The whole image: headers, one PT_NOTE segment, one PT_LOAD of memory bytes.
std::string image(const std::string &notes, size_t memory = 8192, uint8_t klass = ELFCLASS64,
                  uint8_t data = ELFDATA2LSB, uint16_t type = ET_CORE);

} // namespace ks_test_image

#endif

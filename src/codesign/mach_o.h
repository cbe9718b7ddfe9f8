#pragma once

#include <cstdint>

namespace tessuro::codesign {

// What a main executable is, as far as a signature of its own goes.
enum class MachOKind {
    NotMachO,   // any other file
    Unsigned,   // Mach-O, thin or universal, without LC_CODE_SIGNATURE in any slice
    Signed,     // at least one slice carries its own signature
    Malformed,  // starts like Mach-O, but its headers do not hold together
};

// Reads the Mach-O headers of an open file of `size` bytes. A Mach-O file without a
// signature of its own is signed in the detached form, like any other main executable; one
// with its own signature is checked by that signature, which this verifier does not read.
MachOKind inspectMachO(int fd, std::uint64_t size);

}  // namespace tessuro::codesign

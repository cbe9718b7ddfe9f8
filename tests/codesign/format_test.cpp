// The readers and writers of the signature's binary formats, and the seal's rules.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <functional>

#include "codesign/code_directory.h"
#include "codesign/mach_o.h"
#include "codesign/resource_seal_check.h"
#include "codesign/status.h"
#include "install/product.h"
#include "platform/byte_reader.h"
#include "platform/unique_fd.h"
#include "signing_fixtures.h"
#include "temp_dir.h"

namespace tessuro::codesign {
namespace {

TEST(ByteReader, ReadsEitherOrderAndNeverPastTheEnd) {
    const Bytes data{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 'o', 'k', 0};
    ByteReader big(data);
    EXPECT_EQ(big.u8(), 0x01);
    EXPECT_EQ(big.u16(), 0x0203);
    EXPECT_EQ(big.u32(), 0x04050607u);
    EXPECT_EQ(big.at(8).cString(), "ok");
    EXPECT_EQ(ByteReader(data, ByteOrder::Little).u64(), 0x0807060504030201u);
    const std::vector<std::function<void(ByteReader&)>> pastTheEnd = {
        [](ByteReader& r) { r.u32(); },       [](ByteReader& r) { r.u64(); },
        [](ByteReader& r) { r.bytes(4); },    [](ByteReader& r) { r.cString(); },
        [](ByteReader& r) { (void)r.at(4); }, [](ByteReader& r) { r.unsignedOfSize(9); },
    };
    const Bytes three{'a', 'b', 'c'};
    for (std::size_t i = 0; i < pastTheEnd.size(); ++i) {
        ByteReader reader(three);
        EXPECT_THROW(pastTheEnd[i](reader), Error) << i;
        EXPECT_EQ(reader.position(), 0u) << i;
    }
}

TEST(DerLength, ShortFormBelow128LongFormInTheFewestBytesAbove) {
    const std::vector<std::pair<std::size_t, Bytes>> cases = {
        {0, {0x00}},
        {127, {0x7f}},
        {128, {0x81, 0x80}},
        {255, {0x81, 0xff}},
        {256, {0x82, 0x01, 0x00}},
        {65536, {0x83, 0x01, 0x00, 0x00}},
    };
    for (const auto& [length, expected] : cases) {
        EXPECT_EQ(derLength(length), expected) << length;
    }
}

void put32(Bytes& blob, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        blob[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    }
}

// Each field checked before it is used; random damage is the fuzz target's (fuzz/).
TEST(CodeDirectoryParse, RefusesEachMalformedField) {
    const Bytes good = buildCodeDirectory({.identifier = std::string(payloadBundleIdentifier),
                                           .teamIdentifier = std::string(payloadTeamIdentifier),
                                           .infoPlistHash = Bytes(32, 1),
                                           .requirementsHash = Bytes(32, 2),
                                           .resourcesHash = Bytes(32, 3),
                                           .executableHash = Bytes(32, 4)});
    const std::vector<std::pair<const char*, std::function<void(Bytes&)>>> cases{
        {"empty", [](Bytes& b) { b.clear(); }},
        {"short header",
         [](Bytes& b) {
             b.resize(30);
             put32(b, 4, 30);
         }},
        {"length beyond the data", [](Bytes& b) { put32(b, 4, std::uint32_t(b.size() + 4)); }},
        {"length short of the data", [](Bytes& b) { put32(b, 4, std::uint32_t(b.size() - 4)); }},
        {"wrong magic", [](Bytes& b) { put32(b, 0, kRequirementMagic); }},
        {"version too old", [](Bytes& b) { put32(b, 8, 0x10000); }},
        {"version too new", [](Bytes& b) { put32(b, 8, 0x30000); }},
        {"hash offset past the end", [](Bytes& b) { put32(b, 16, 0xFFFFFFF0); }},
        {"hash offset inside the header", [](Bytes& b) { put32(b, 16, 8); }},
        {"identifier offset past the end", [](Bytes& b) { put32(b, 20, 0x7FFFFFFF); }},
        {"identifier inside the header", [](Bytes& b) { put32(b, 20, 40); }},
        {"identifier without its NUL",
         [](Bytes& b) {
             put32(b, 20, std::uint32_t(b.size() - 1));
             b.back() = 'x';
         }},
        {"too many special slots", [](Bytes& b) { put32(b, 24, 0x10000000); }},
        {"too many code slots", [](Bytes& b) { put32(b, 28, 0x40000000); }},
        {"hash size not the type's", [](Bytes& b) { b[36] = 20; }},
        {"unknown hash type", [](Bytes& b) { b[37] = 9; }},
        {"page size beyond 2^63", [](Bytes& b) { b[39] = 64; }},
        {"team offset past the end", [](Bytes& b) { put32(b, 48, 0xFFFFFFFF); }},
        {"version with codeLimit64 but short",
         [](Bytes& b) {
             put32(b, 8, 0x20300);
             b.resize(60);
             put32(b, 4, 60);
         }},
    };
    for (const auto& [name, edit] : cases) {
        Bytes blob = good;
        edit(blob);
        EXPECT_THROW(CodeDirectory::parse(blob), Error) << name;
    }
}

TEST(MachO, TellsWhetherAnExecutableCarriesItsOwnSignature) {
    using test::machOExecutable, test::universalExecutable;
    std::string overrun = machOExecutable(false);
    overrun[36] = '\x7f';  // a load command reaching past the load commands
    const std::pair<std::string, MachOKind> cases[] = {
        {"", MachOKind::NotMachO},
        {"#!/bin/sh\n", MachOKind::NotMachO},
        {std::string("\xca\xfe\xba\xbe\0\0\0\x34", 8), MachOKind::NotMachO},  // a Java class
        {machOExecutable(false), MachOKind::Unsigned},
        {machOExecutable(false, true), MachOKind::Unsigned},
        {universalExecutable({machOExecutable(false), machOExecutable(false, true)}),
         MachOKind::Unsigned},
        {machOExecutable(true), MachOKind::Signed},
        {universalExecutable({machOExecutable(false), machOExecutable(true, true)}),
         MachOKind::Signed},
        {universalExecutable(std::vector<std::string>(31, machOExecutable(true))),
         MachOKind::Signed},
        {overrun, MachOKind::Malformed},
        {machOExecutable(false).substr(0, 20), MachOKind::Malformed},
        {universalExecutable({}), MachOKind::Malformed},
        {universalExecutable({"#!/bin/sh\n"}), MachOKind::Malformed},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const UniqueFd fd(::memfd_create("executable", MFD_CLOEXEC));
        const std::string& bytes = cases[i].first;
        ASSERT_EQ(::write(fd.get(), bytes.data(), bytes.size()), ssize_t(bytes.size()));
        EXPECT_EQ(inspectMachO(fd.get(), bytes.size()), cases[i].second) << i;
    }
}

// Found by fuzzing: rule expressions that make the regex compiler build a gigantic
// automaton ("{n}" and nested "+" copy their operand) are refused, quickly.
TEST(ResourceRules, HostileExpressionsMakeTheSealMalformed) {
    test::TempDir dir;
    const int contents = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    auto status = [&](const std::string& rule) {
        const std::string seal =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
            "<key>files2</key><dict/><key>rules2</key><dict><key>" +
            rule + "</key><true/></dict></dict></plist>";
        try {
            checkResourceSeal(asBytes(seal), contents, {});
            return kStatusOk;
        } catch (const Error& error) {
            return statusOf(error);
        }
    };
    for (std::string rule : {std::string("a{1000}{1000}"), "^x" + std::string(40, '+'),
                             std::string("(((((((((a+)+)+)+)+)+)+)+)+)+"), std::string(600, 'a'),
                             "^R" + std::string(130, '*'), std::string("a*?b"), std::string("(")}) {
        EXPECT_EQ(status(rule), kStatusMalformed) << rule.substr(0, 40);
    }
    EXPECT_EQ(status("^[^/]+$"), kStatusOk);
    ::close(contents);
}

}  // namespace
}  // namespace tessuro::codesign

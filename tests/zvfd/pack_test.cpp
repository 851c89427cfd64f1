// Pack indexes: what one writes another reads back, plain and sealed, and every kind
// of damage or a foreign key is an error rather than a wrong list of blocks.
#include "zvfd/codec.h"
#include "zvfd/pack.h"
#include "zvfd/record.h"

#include "key_setups.h"
#include "stage_test_support.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using zvfd_test::Keyed;

std::vector<zvfd::PackEntry> some_entries() {
    return {
        {zvfd_test::random_text(32, 1), 12, 100, 16384, 1},
        {zvfd_test::random_text(64, 2), 112, 16384, 16384, 0},
        {"", 16496, 0, 0, 0xff},
        {std::string(300, 'n'), 0xffffffffu, 0xfffffff0u, zvfd::kMaxBlockSize, 2},
    };
}

void expect_same(const std::vector<zvfd::PackEntry>& got, const std::vector<zvfd::PackEntry>& want,
                 const char* what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].name, want[i].name) << what << " entry " << i;
        EXPECT_EQ(got[i].offset, want[i].offset) << what << " entry " << i;
        EXPECT_EQ(got[i].stored, want[i].stored) << what << " entry " << i;
        EXPECT_EQ(got[i].raw, want[i].raw) << what << " entry " << i;
        EXPECT_EQ(got[i].flags, want[i].flags) << what << " entry " << i;
    }
}

TEST(PackIndex, RoundTripPlainAndSealed) {
    for (const Keyed& s : zvfd_test::key_setups("index key")) {
        for (const auto& entries : {some_entries(), std::vector<zvfd::PackEntry>{}}) {
            const std::string bytes = zvfd::encode_pack_index("p1", entries, s.keys, s.sealer.get());
            expect_same(zvfd::decode_pack_index(bytes, "p1", s.sealer.get()), entries, s.what);
            EXPECT_EQ(zvfd::pack_index_key_id(bytes, "p1"), s.keys.id) << s.what;
            if (s.sealer && !entries.empty()) {
                EXPECT_EQ(bytes.find(entries[1].name), std::string::npos) << s.what << ": a block name is in clear";
            }
        }
    }
}

TEST(PackIndex, EveryTruncationIsAnError) {
    for (const Keyed& s : zvfd_test::key_setups("index key")) {
        const std::string bytes = zvfd::encode_pack_index("p1", some_entries(), s.keys, s.sealer.get());
        for (std::size_t len = 0; len < bytes.size(); ++len) {
            const std::string message =
                zvfd_test::error_of([&] { zvfd::decode_pack_index(bytes.substr(0, len), "p1", s.sealer.get()); });
            EXPECT_TRUE(zvfd_test::says(message, "index of pack p1")) << s.what << ", cut to " << len;
        }
    }
}

// An index names its pack inside what its checksum and seal cover: the index of one
// pack stored under another's name is refused, not read as that pack's blocks. The
// first layout, without the pack id, is still read.
TEST(PackIndex, IndexUnderAnotherPacksNameIsRefused) {
    for (const Keyed& s : zvfd_test::key_setups("index key")) {
        const std::string bytes = zvfd::encode_pack_index("p1", some_entries(), s.keys, s.sealer.get());
        EXPECT_EQ(zvfd_test::error_of([&] { zvfd::decode_pack_index(bytes, "p2", s.sealer.get()); }),
                  "index of pack p2 describes another pack: it is damaged")
            << s.what;
        zvfd::ByteWriter first;
        first.u32(1);
        first.fields(some_entries()[0].name, some_entries()[0].offset, some_entries()[0].stored,
                     some_entries()[0].raw, some_entries()[0].flags);
        zvfd::Envelope env;
        env.key_id = s.keys.id;
        env.sealed = s.sealer != nullptr;
        env.payload = s.sealer ? s.sealer->seal(first.bytes()) : first.bytes();
        expect_same(zvfd::decode_pack_index(zvfd::write_envelope("ZVFDINDX", env), "p2", s.sealer.get()),
                    {some_entries()[0]}, s.what);
    }
}

// A payload that passes the envelope's checksum but does not hold what it claims.
TEST(PackIndex, PayloadThatDoesNotAddUpIsDamaged) {
    auto entry = [](const std::string& name, std::uint32_t raw = 5) {
        zvfd::ByteWriter w;
        w.text(name);
        w.u32(12);
        w.u32(5);
        w.u32(raw);
        w.u8(0);
        return w.bytes();
    };
    auto count = [](std::uint32_t n) {
        zvfd::ByteWriter w;
        w.u32(n);
        return w.bytes();
    };
    struct Case {
        const char* what;
        std::string payload;
    } cases[] = {
        {"count larger than the bytes", count(2) + entry("one")},
        {"huge count", count(0xffffffffu) + entry("one")},
        {"count with no entries", count(1000)},
        {"name longer than the bytes", count(1) + entry("one").replace(0, 1, "\x50")},
        {"bytes after the entries", count(1) + entry("one") + "x"},
        {"block longer than the largest block size", count(1) + entry("one", zvfd::kMaxBlockSize + 1)},
        {"no count", ""},
    };
    for (const Keyed& s : zvfd_test::key_setups("index key")) {
        for (const Case& c : cases) {
            zvfd::Envelope env;
            env.key_id = s.keys.id;
            env.sealed = s.sealer != nullptr;
            env.payload = s.sealer ? s.sealer->seal(c.payload) : c.payload;
            const std::string bytes = zvfd::write_envelope("ZVFDINDX", env);
            // Not an AuthError either: the seal opened, what it held is wrong.
            EXPECT_EQ(zvfd_test::error_of([&] { zvfd::decode_pack_index(bytes, "p1", s.sealer.get()); }),
                      "index of pack p1 is damaged")
                << s.what << ", " << c.what;
        }
    }
}

// Every byte of the object counts: a flip is caught by the checksum, and one behind a
// recomputed checksum by the seal.
TEST(PackIndex, FlippedBytesAreCaught) {
    for (const Keyed& s : zvfd_test::key_setups("index key")) {
        const std::string bytes = zvfd::encode_pack_index("p1", some_entries(), s.keys, s.sealer.get());
        for (std::size_t at = 0; at < bytes.size(); ++at) {
            std::string changed = bytes;
            changed[at] ^= 0x04;
            EXPECT_THROW(zvfd::decode_pack_index(changed, "p1", s.sealer.get()), zvfd::Error) << s.what << " @" << at;
        }
        if (!s.sealer) continue;
        zvfd::Envelope env = zvfd::read_envelope(bytes, "ZVFDINDX", "index", 2);
        env.payload[env.payload.size() / 2] ^= 0x04;
        EXPECT_THROW(zvfd::decode_pack_index(zvfd::write_envelope("ZVFDINDX", env), "p1", s.sealer.get()),
                     zvfd::AuthError)
            << s.what;
    }
}

TEST(PackIndex, IndexOfAnotherKey) {
    const std::vector<Keyed> mine = zvfd_test::key_setups("index key"), theirs = zvfd_test::key_setups("another key");
    for (const Keyed& writer : theirs) {
        const std::string bytes = zvfd::encode_pack_index("p1", some_entries(), writer.keys, writer.sealer.get());
        for (const Keyed& reader : mine) {
            if (!writer.sealer && !reader.sealer) continue;  // both plain: the same index
            // The key id in clear tells the reader before it tries the seal.
            EXPECT_NE(zvfd::pack_index_key_id(bytes, "p1"), reader.keys.id)
                << writer.what << " read as " << reader.what;
            // Another key of the same cipher fails the seal; sealed read as plain, plain
            // read with a key, or another cipher: refused too, never misread.
            if (writer.sealer && reader.sealer && std::string(writer.what) == reader.what) {
                EXPECT_THROW(zvfd::decode_pack_index(bytes, "p1", reader.sealer.get()), zvfd::AuthError);
            } else {
                EXPECT_THROW(zvfd::decode_pack_index(bytes, "p1", reader.sealer.get()), std::runtime_error)
                    << writer.what << " read as " << reader.what;
            }
        }
    }
}

TEST(Pack, HeaderAndObjectNames) {
    zvfd::PackBuilder pack;
    EXPECT_EQ(pack.id().size(), 32u);
    EXPECT_EQ(pack.id().find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(pack.id(), zvfd::PackBuilder().id());
    EXPECT_TRUE(pack.empty());
    EXPECT_EQ(pack.add("a", "12345", 9, 1), 12u);
    EXPECT_EQ(pack.add("b", "678", 3, 0), 17u);
    EXPECT_EQ(pack.bytes().substr(12), "12345678");
    EXPECT_NO_THROW(zvfd::check_pack_header(pack.bytes(), pack.id()));
    for (const std::string& bad : {pack.bytes().substr(0, 11), "ZVFDPACX" + pack.bytes().substr(8), std::string()})
        EXPECT_THROW(zvfd::check_pack_header(bad, pack.id()), zvfd::Error);
    std::string later = pack.bytes();
    later[8] = 2;
    EXPECT_THROW(zvfd::check_pack_header(later, pack.id()), zvfd::Error);
    EXPECT_EQ(zvfd::pack_object_name("0f1e2d"), "packs/0f/0f1e2d");
    EXPECT_EQ(zvfd::index_object_name("0f1e2d"), "index/0f1e2d");
}

}  // namespace

// MD5 and SHA-256 against the published vectors (RFC 1321, FIPS 180-2) and
// against md5sum/sha256sum at the lengths where the padding spills into a
// second block.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recover/Md5.h"
#include "recover/Sha256.h"

namespace qm {
namespace {

std::string Sha256Hex(std::string_view text, std::size_t repeat) {
    Sha256 sha;
    for (std::size_t i = 0; i < repeat; ++i) sha.Update(text);
    return HexDigest(sha.Final());
}

std::string Md5HexRepeated(std::string_view text, std::size_t repeat) {
    Md5 md5;
    for (std::size_t i = 0; i < repeat; ++i) md5.Update(text);
    return md5.FinalHex();
}

TEST(Digest, KnownVectors) {
    struct Case {
        std::string text;
        std::size_t repeat;
        const char* md5;
        const char* sha256;
    };
    const std::string a55(55, 'a'), a56(56, 'a'), a63(63, 'a'), a64(64, 'a'), a65(65, 'a');
    const Case cases[] = {
        {"", 1, "d41d8cd98f00b204e9800998ecf8427e",
         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", 1, "900150983cd24fb0d6963f7d28e17f72",
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"message digest", 1, "f96b697d7cb7938d525a2f31aaf161d0",
         "f7846f55cf23e14eebeab5b4e1550cad5b509e3348fbc4efa3a1413d393cb650"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
         "8215ef0796a20bcaaae116d3876c664a",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrl"
         "mnopqrsmnopqrstnopqrstu",
         1, "03dd8807a93175fb062dfb55dc7d359c",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {"12345678901234567890", 4, "57edf4a22be3c955ac49da2e2107b67a", nullptr},
        {"a", 1000000, "7707d6ae4e027c70eea2a935c2296f21",
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {a55, 1, "ef1772b6dff9a122358552954ad0df65",
         "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {a56, 1, "3b0c8ac703f828b04c6c197006d17218",
         "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {a63, 1, "b06521f39153d618550606be297466d5",
         "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
        {a64, 1, "014842d480b571495a4a0363793f7367",
         "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {a65, 1, "c743a45e0d2e6a95cb859adae0248435",
         "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
    };
    for (const Case& c : cases) {
        const std::string what = c.text.substr(0, 20) + " x " + std::to_string(c.repeat);
        EXPECT_EQ(Md5HexRepeated(c.text, c.repeat), c.md5) << what;
        if (c.sha256) {
            EXPECT_EQ(Sha256Hex(c.text, c.repeat), c.sha256) << what;
        }
    }
}

// Content arrives in chunks of any size, holes as counts of zeros: every way
// of cutting it gives the digest of the whole.
TEST(Digest, PiecesAndZerosGiveTheDigestOfTheWhole) {
    std::vector<std::uint8_t> data(200);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    for (std::size_t len : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 200u}) {
        const std::span<const std::uint8_t> whole(data.data(), len);
        const std::string md5 = Md5Hex(whole);
        Sha256 one;
        one.Update(whole);
        const std::string sha = HexDigest(one.Final());
        for (std::size_t cut = 0; cut <= len; cut += 9) {
            Md5 m;
            Sha256 s;
            for (auto part : {whole.first(cut), whole.subspan(cut)}) {
                m.Update(part);
                s.Update(part);
            }
            EXPECT_EQ(m.FinalHex(), md5) << len << " cut at " << cut;
            EXPECT_EQ(HexDigest(s.Final()), sha) << len << " cut at " << cut;
        }
    }
    // 65536 zeros fed as counts, across the 64 KiB block of zeros they are hashed from.
    Md5 m;
    Sha256 s;
    for (std::uint64_t n : {1u, 65534u, 1u}) {
        m.UpdateZeros(n);
        s.UpdateZeros(n);
    }
    EXPECT_EQ(m.FinalHex(), "fcd6bcb56c1689fcef28b57c22475bad");
    EXPECT_EQ(HexDigest(s.Final()),
              "de2f256064a0af797747c2b97505dc0b9f3df0de4f489eac731c23ae9ca9cc31");
}

}  // namespace
}  // namespace qm

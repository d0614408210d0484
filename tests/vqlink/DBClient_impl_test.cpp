#include "DBClient_impl.h"
#include "vqlink_callbacks.h"
#include "vqlink_test_support.h"

#include "reference_sha1.h"
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string proof(const std::string& password, const char* token) {
    char digest[41];
    std::memset(digest, '#', sizeof(digest));
    password_proof(password.data(), password.size(), token, digest);
    EXPECT_EQ(digest[40], '\0');
    return digest;
}

std::string openssl_proof(const std::string& input) {
    return reference_sha1_hex(input);
}

} // namespace

TEST(Password_Proof, DigestOfPasswordThenToken) {
    EXPECT_EQ(proof("secret", "challenge"), openssl_proof("secretchallenge"));
    // Only the concatenation counts.
    EXPECT_EQ(proof("secretchal", "lenge"), proof("secret", "challenge"));
    EXPECT_EQ(proof("", "secretchallenge"), proof("secretchallenge", ""));
}

TEST(Password_Proof, EmptyInputIsTheEmptyDigest) {
    EXPECT_EQ(proof("", ""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(proof("", nullptr), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(Password_Proof, LongestTokenIsHashedWhole) {
    const std::string token(32, 'q');
    EXPECT_EQ(proof("pw", token.c_str()), openssl_proof("pw" + token));
    EXPECT_NE(proof("pw", token.c_str()), proof("pw", token.substr(0, 31).c_str()));
}

TEST(Password_Proof, PasswordBytesBeyondTheTextCount) {
    // The stored password is taken by its length, bytes as they are.
    const std::string password("a\xff\x01", 3);
    EXPECT_EQ(proof(password, "t"), openssl_proof(password + "t"));
}

namespace {

int select_calls = 0;
std::uint32_t last_id = 0;
void on_select(const IPC_DA_DBClient::TSelectResult* r) {
    ++select_calls;
    last_id = r->id;
}

} // namespace

TEST(DBClient_impl, ForwardsToTheRegisteredCallbackOnly) {
    // Counted afresh each time: the test may run repeatedly in one process.
    select_calls = 0;
    last_id = 0;
    DBClient_impl servant;
    IPC_DA_DBClient::TSelectResult result;
    std::memset(&result, 0, sizeof(result));
    result.id = 5;
    VQLink_Callbacks::select_result.store(nullptr);
    servant.SelectResult(&result); // dropped silently
    EXPECT_EQ(select_calls, 0);
    VQLink_Callbacks::select_result.store(&on_select);
    servant.SelectResult(&result);
    EXPECT_EQ(select_calls, 1);
    EXPECT_EQ(last_id, 5u);
    VQLink_Callbacks::select_result.store(nullptr);

    IPC_DA_DBClient::TDeleteComplete done;
    std::memset(&done, 0, sizeof(done));
    servant.DeleteComplete(&done); // no callback: nothing happens
}

TEST(DBClient_impl, DefinitionServesTheSingleton) {
    EXPECT_EQ(IPC_DA_DBClient_definition.id_, 0x6Au);
    const QREX_Interface_Def& dbclient = IPC_DA_DBClient_definition.interfaces_[1];
    EXPECT_EQ(dbclient.hash_, 0xF334D2FCu);
    EXPECT_EQ(dbclient.member_count_, 6u);
    QREX_Servant* a = dbclient.factory_(nullptr);
    QREX_Servant* b = dbclient.factory_(nullptr);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    a->release(); // shared: releasing changes nothing
    EXPECT_EQ(dbclient.factory_(nullptr), a);
}

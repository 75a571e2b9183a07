// SPDX-License-Identifier: GPL-3.0-or-later
#include "sasl/scram_sha1.hpp"

#include "sasl/kernel_random.hpp"

#include <nettle/base64.h>
#include <nettle/memops.h>
#include <nettle/sha1.h>

#include <stringprep.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace Velta_Client::detail::sasl {

namespace {

// Iterations between two readings of the processor clock. Reading it is a
// system call (half a microsecond on a virtual machine); 128 iterations
// are 15 to 60 microseconds of work, depending on the processor's SHA
// instructions.
constexpr long iterations_per_reading = 128;

const std::uint8_t* bytes_of(const std::string& text) { return reinterpret_cast<const std::uint8_t*>(text.data()); }

std::string base64(const unsigned char* data, std::size_t size) {
    std::string out(BASE64_ENCODE_RAW_LENGTH(size), '\0');
    base64_encode_raw(out.data(), size, data);
    return out;
}

// Strict enough for SCRAM's attributes: the whole text must decode.
bool from_base64(const std::string& text, std::string& out) {
    std::vector<std::uint8_t> buffer(BASE64_DECODE_LENGTH(text.size()) + 1);
    base64_decode_ctx ctx;
    base64_decode_init(&ctx);
    std::size_t size = buffer.size();
    if (!base64_decode_update(&ctx, &size, buffer.data(), text.size(), text.data()) || !base64_decode_final(&ctx))
        return false;
    out.assign(reinterpret_cast<const char*>(buffer.data()), size);
    return true;
}

void hmac_sha1(const unsigned char* key, std::size_t key_size, const std::string& text,
               unsigned char out[sha1_size]) {
    hmac_sha1_ctx hmac;
    hmac_sha1_set_key(&hmac, key_size, key);
    hmac_sha1_update(&hmac, text.size(), bytes_of(text));
    hmac_sha1_digest(&hmac, sha1_size, out);
    ::explicit_bzero(&hmac, sizeof hmac);
}

// RFC 4013, as servers apply it to the password; a text SASLprep refuses
// is used as it is (the server then refuses the proof, as it should).
std::string saslprep(const std::string& text) {
    char* prepared = nullptr;
    if (stringprep_profile(text.c_str(), &prepared, "SASLprep", Stringprep_profile_flags(0)) != STRINGPREP_OK) {
        std::free(prepared);
        return text;
    }
    std::string out(prepared);
    ::explicit_bzero(prepared, out.size());
    std::free(prepared);
    return out;
}

// saslname: "," and "=" escaped as "=2C" and "=3D".
std::string sasl_name(const std::string& user) {
    std::string out;
    for (const char c : saslprep(user)) {
        if (c == ',')
            out += "=2C";
        else if (c == '=')
            out += "=3D";
        else
            out += c;
    }
    return out;
}

bool printable_nonce(const std::string& nonce) {
    return std::all_of(nonce.begin(), nonce.end(), [](char c) { return c >= 0x21 && c <= 0x7e && c != ','; });
}

// A positive decimal count of at most nine digits (larger ones are past any
// bound), or 0.
long count_of(const std::string& text) {
    if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), [](char c) {
            return c >= '0' && c <= '9';
        }))
        return 0;
    return std::strtol(text.c_str(), nullptr, 10);
}

std::vector<std::string> attributes_of(const std::string& message) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    for (;;) {
        const std::size_t comma = message.find(',', at);
        parts.push_back(message.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (comma == std::string::npos) return parts;
        at = comma + 1;
    }
}

bool has_key(const std::string& attribute, char key) {
    return attribute.size() >= 2 && attribute[0] == key && attribute[1] == '=';
}

}  // namespace

long thread_cpu_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<long>(now.tv_sec) * 1000 * 1000 * 1000 + now.tv_nsec;
}

Scram_Sha1::Scram_Sha1(const std::string& user, Scram_Key_Cache& cache, const std::string& nonce)
    : cache_(cache), client_nonce_(nonce) {
    if (client_nonce_.empty()) {
        unsigned char random[24];
        fill_from_kernel(random, sizeof random);
        client_nonce_ = base64(random, sizeof random);
    }
    client_first_bare_ = "n=" + sasl_name(user) + ",r=" + client_nonce_;
}

Scram_Sha1::~Scram_Sha1() {
    ::explicit_bzero(&hmac_, sizeof hmac_);
    ::explicit_bzero(block_, sizeof block_);
    ::explicit_bzero(salted_password_, sizeof salted_password_);
}

bool Scram_Sha1::take_server_first(const std::string& message, const std::string& password) {
    if (stage_ != Stage::awaiting_server_first) {
        stage_ = Stage::refused;
        return false;
    }
    stage_ = Stage::refused;
    const std::vector<std::string> parts = attributes_of(message);
    if (parts.size() < 3 || !has_key(parts[0], 'r') || !has_key(parts[1], 's') || !has_key(parts[2], 'i'))
        return false;
    const std::string nonce = parts[0].substr(2);
    if (nonce.size() <= client_nonce_.size() || nonce.compare(0, client_nonce_.size(), client_nonce_) != 0 ||
        !printable_nonce(nonce))
        return false;
    if (!from_base64(parts[1].substr(2), salt_) || salt_.empty()) return false;
    count_ = count_of(parts[2].substr(2));
    if (count_ < 1 || count_ > max_scram_iterations) return false;

    client_final_ = "c=biws,r=" + nonce;
    auth_message_ = client_first_bare_ + "," + message + "," + client_final_;

    const std::string prepared = saslprep(password);
    password_tag_ = cache_.tag_of(prepared);
    if (const Scram_Keys* keys = cache_.find(password_tag_, salt_, count_)) {
        prove(*keys);
        return true;
    }
    // U1 = HMAC(password, salt || INT(1)); the HMAC keeps the password's
    // inner and outer states for every later block.
    hmac_sha1_set_key(&hmac_, prepared.size(), bytes_of(prepared));
    hmac_sha1_update(&hmac_, salt_.size(), bytes_of(salt_));
    static const std::uint8_t block_index[4] = {0, 0, 0, 1};
    hmac_sha1_update(&hmac_, sizeof block_index, block_index);
    hmac_sha1_digest(&hmac_, sha1_size, block_);
    std::memcpy(salted_password_, block_, sha1_size);
    remaining_ = count_ - 1;
    stage_ = Stage::computing;
    return true;
}

bool Scram_Sha1::advance(long deadline_ns) {
    if (stage_ != Stage::computing) return ready();
    ++slices_;
    do {
        const long batch = std::min(remaining_, iterations_per_reading);
        for (long i = 0; i < batch; ++i) {
            hmac_sha1_update(&hmac_, sha1_size, block_);
            hmac_sha1_digest(&hmac_, sha1_size, block_);
            for (std::size_t j = 0; j < sha1_size; ++j) salted_password_[j] ^= block_[j];
        }
        remaining_ -= batch;
    } while (remaining_ > 0 && thread_cpu_ns() < deadline_ns);
    if (remaining_ == 0) derive_from_salted_password();
    return ready();
}

void Scram_Sha1::derive_from_salted_password() {
    Scram_Keys keys;
    hmac_sha1(salted_password_, sha1_size, "Client Key", keys.client_key);
    hmac_sha1(salted_password_, sha1_size, "Server Key", keys.server_key);
    ::explicit_bzero(&hmac_, sizeof hmac_);
    ::explicit_bzero(block_, sizeof block_);
    ::explicit_bzero(salted_password_, sizeof salted_password_);
    cache_.remember(password_tag_, salt_, count_, keys);
    prove(keys);
    ::explicit_bzero(&keys, sizeof keys);
}

void Scram_Sha1::prove(const Scram_Keys& keys) {
    unsigned char stored_key[sha1_size];
    sha1_ctx sha;
    sha1_init(&sha);
    sha1_update(&sha, sha1_size, keys.client_key);
    sha1_digest(&sha, sha1_size, stored_key);

    unsigned char proof[sha1_size];
    hmac_sha1(stored_key, sha1_size, auth_message_, proof);  // the client signature
    for (std::size_t i = 0; i < sha1_size; ++i) proof[i] ^= keys.client_key[i];
    hmac_sha1(keys.server_key, sha1_size, auth_message_, server_signature_);

    client_final_ += ",p=" + base64(proof, sizeof proof);
    ::explicit_bzero(stored_key, sizeof stored_key);
    stage_ = Stage::ready;
}

bool Scram_Sha1::verify_server_final(const std::string& message) const {
    if (!ready()) return false;
    const std::string verifier = attributes_of(message).front();
    std::string signature;
    return has_key(verifier, 'v') && from_base64(verifier.substr(2), signature) && signature.size() == sha1_size &&
           nettle_memeql_sec(signature.data(), server_signature_, sha1_size);
}

}  // namespace Velta_Client::detail::sasl

// SPDX-License-Identifier: GPL-3.0-or-later
// The SCRAM keys one manager derived last, kept so that a later login to a
// server that keeps its salt and count (servers store them with the account)
// computes no salted password again (RFC 5802, section 5.1: a client may keep
// ClientKey and ServerKey). Memory only, for the owner's life; the keys are
// overwritten when the cache is cleared or destroyed.
//
// The password itself is never kept: the cache holds a keyed hash of it (its
// key drawn from the kernel's randomness for this cache alone), so that keys
// derived from another password are never handed out; asking with another
// password clears the cache.
#pragma once

#include <cstddef>
#include <string>

namespace Velta_Client::detail::sasl {

constexpr std::size_t sha1_size = 20;

struct Scram_Keys {
    unsigned char client_key[sha1_size];
    unsigned char server_key[sha1_size];
};

class Scram_Key_Cache {
public:
    struct Password_Tag {
        unsigned char bytes[sha1_size];
    };

    Scram_Key_Cache();
    ~Scram_Key_Cache();
    Scram_Key_Cache(const Scram_Key_Cache&) = delete;
    Scram_Key_Cache& operator=(const Scram_Key_Cache&) = delete;

    // What find and remember compare instead of the password.
    Password_Tag tag_of(const std::string& password) const;

    // The keys derived from the tagged password with salt and count, or null.
    // A tag of another password clears what is kept.
    const Scram_Keys* find(const Password_Tag& password, const std::string& salt, long count);
    // Keeps these keys in place of any others.
    void remember(const Password_Tag& password, const std::string& salt, long count, const Scram_Keys& keys);
    void clear();

private:
    unsigned char tag_key_[sha1_size];
    bool holding_ = false;
    Password_Tag password_{};
    std::string salt_;
    long count_ = 0;
    Scram_Keys keys_{};
};

}  // namespace Velta_Client::detail::sasl

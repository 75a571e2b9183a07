// SPDX-License-Identifier: GPL-3.0-or-later
#include "sasl/scram_key_cache.hpp"

#include "sasl/kernel_random.hpp"

#include <nettle/hmac.h>
#include <nettle/memops.h>

#include <cstring>

namespace Velta_Client::detail::sasl {

Scram_Key_Cache::Scram_Key_Cache() { fill_from_kernel(tag_key_, sizeof tag_key_); }

Scram_Key_Cache::~Scram_Key_Cache() {
    clear();
    ::explicit_bzero(tag_key_, sizeof tag_key_);
}

Scram_Key_Cache::Password_Tag Scram_Key_Cache::tag_of(const std::string& password) const {
    hmac_sha1_ctx hmac;
    hmac_sha1_set_key(&hmac, sizeof tag_key_, tag_key_);
    hmac_sha1_update(&hmac, password.size(), reinterpret_cast<const std::uint8_t*>(password.data()));
    Password_Tag tag;
    hmac_sha1_digest(&hmac, sizeof tag.bytes, tag.bytes);
    ::explicit_bzero(&hmac, sizeof hmac);
    return tag;
}

const Scram_Keys* Scram_Key_Cache::find(const Password_Tag& password, const std::string& salt, long count) {
    if (!holding_) return nullptr;
    if (!nettle_memeql_sec(password.bytes, password_.bytes, sizeof password.bytes)) {
        clear();
        return nullptr;
    }
    return salt == salt_ && count == count_ ? &keys_ : nullptr;
}

void Scram_Key_Cache::remember(const Password_Tag& password, const std::string& salt, long count,
                               const Scram_Keys& keys) {
    clear();
    password_ = password;
    salt_ = salt;
    count_ = count;
    keys_ = keys;
    holding_ = true;
}

void Scram_Key_Cache::clear() {
    ::explicit_bzero(&keys_, sizeof keys_);
    ::explicit_bzero(&password_, sizeof password_);
    salt_.clear();
    count_ = 0;
    holding_ = false;
}

}  // namespace Velta_Client::detail::sasl

-- SPDX-License-Identifier: GPL-3.0-or-later
-- The lines velta-client needs in a system-wide Prosody (0.12, Debian
-- bookworm). In /etc/prosody/prosody.cfg.lua, as Debian ships it: delete its
-- whole `modules_enabled = { ... }` block and paste these lines in its place
-- (above the VirtualHost line; options below it belong to that host). Keep
-- its authentication = "internal_hashed" and its VirtualHost "localhost".
-- Then: systemctl restart prosody; velta-check --account 127.0.0.1
-- prosody.cfg.lua beside this file explains each setting.
modules_enabled = { "saslauth"; "register"; "roster"; "disco"; "ping"; "posix" }
allow_registration = true
registration_allowlist = { "127.0.0.0/8", "::1" }
c2s_require_encryption = false
c2s_ports = { 5222 }
-- The address your hosts connect to: loopback, or a private network's. Never
-- a public one: nothing on this server is encrypted.
interfaces = { "127.0.0.1" }

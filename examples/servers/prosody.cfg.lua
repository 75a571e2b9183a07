-- SPDX-License-Identifier: GPL-3.0-or-later
-- A Prosody (0.12, Debian bookworm) that velta-client can use: the domain
-- "localhost", in-band registration open, no TLS, client port 5222 only.
--
-- A private one, in a folder of its own, on one loopback address, stopped by
-- Ctrl-C (as root or as any user):
--   scripts/server prosody [ADDRESS]
--   velta-check --account 127.0.0.1
-- Do not copy this file into the system-wide /etc/prosody/prosody.cfg.lua:
-- prosody-system.cfg.lua beside it holds exactly the lines that go there.
--
-- scripts/server, scripts/demo and the test suite start their servers from
-- this file; they replace only the four lines marked "where", which say where
-- this server keeps its files and which address it listens on.
--
-- Each setting says what a host sees without it.

-- Needed when Prosody is started as root (scripts/server, CI and scripts/demo
-- may be);
-- without it Prosody half-starts and serves nothing. Harmless otherwise.
run_as_root = true

data_path = "/tmp/velta-prosody/data"           -- where: accounts and offline messages (the folder must exist)
pidfile = "/tmp/velta-prosody/prosody.pid"      -- where
interfaces = { "127.0.0.1" }                    -- where: the address the host gives as its server string
log = { { levels = { min = "info" }, to = "file", filename = "/tmp/velta-prosody/prosody.log" } }   -- where

-- The library always connects to port 5222. No server-to-server and no
-- direct-TLS ports: nothing else is opened.
c2s_ports = { 5222 }
s2s_ports = { }
c2s_direct_tls_ports = { }
s2s_direct_tls_ports = { }

-- No "tls" here: with it Prosody offers STARTTLS (even without certificates)
-- and the library, which never uses TLS, refuses the server: the host hears
-- only on_disconnected, at every start.
-- "register" gives in-band registration: without it every start ends in
-- on_error "register failed.".
-- "saslauth" is the login itself; "roster" and "disco" answer what gloox asks
-- for after the login; "ping" answers keep-alive pings.
modules_enabled = { "saslauth"; "register"; "roster"; "disco"; "ping" }
modules_disabled = { "s2s"; "s2s_auth_certs" }   -- add "offline" to bounce messages to offline users instead of storing them

-- Open in-band registration: the library registers the account before every
-- login. Closed (Prosody's default), every start ends in on_error
-- "register failed.", for new and existing accounts alike.
allow_registration = true

-- Addresses exempt from registration limits. Prosody registers an address
-- only once every min_seconds_between_registrations when that is set; an
-- address outside this list then sees "register failed." at every start, existing
-- accounts included, until the time has passed. Add the addresses your hosts
-- connect from if you set a limit.
registration_allowlist = { "127.0.0.0/8", "::1" }

-- Prosody 0.12 requires encryption by default: without TLS it then offers no
-- stream features at all and ends the stream, and every start ends in
-- on_disconnected (get_last_end: END_STREAM_ERROR).
c2s_require_encryption = false

-- Passwords stored hashed; the login uses SCRAM-SHA-1, which needs no TLS.
-- (With "internal_plain" Prosody still offers SCRAM-SHA-1.)
authentication = "internal_hashed"
storage = "internal"

-- The domain of every address the library builds. Another name gives
-- on_disconnected at every start (END_STREAM_ERROR: host-unknown).
VirtualHost "localhost"

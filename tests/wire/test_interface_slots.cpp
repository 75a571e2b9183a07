// SPDX-License-Identifier: GPL-3.0-or-later
// The binary contract: the virtual operations of Velta_Manager and Handler
// keep the slots a host was built against. A pointer to a virtual member
// holds its byte offset in the virtual table plus one (the Itanium C++ ABI
// of g++ and clang++), so the slots can be read without calling anything.
// A virtual destructor takes two entries (complete, deleting): the
// contract's slot 1.
#include "support/host_doubles.hpp"

#include <velta_client/velta_client.hpp>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>

using namespace Velta_Client;

namespace {

template <class Member>
std::ptrdiff_t entry_of(Member member) {
    struct Representation {
        std::ptrdiff_t pointer;
        std::ptrdiff_t adjustment;
    } representation{};
    static_assert(sizeof member == sizeof representation);
    std::memcpy(&representation, &member, sizeof representation);
    return (representation.pointer - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}

// The contract's slot numbers (destructor = slot 1) as virtual table entries.
constexpr std::ptrdiff_t entry_of_slot(int slot) { return slot < 1 ? slot : slot + 1; }

}  // namespace

// The manager as the eleven-slot header declared it, before get_last_end():
// a host built against it calls through this table. Not in an unnamed
// namespace: the compiler would see that nothing implements it and resolve
// the calls to the pure virtual handler.
class Eleven_Slot_Manager {
public:
    virtual int get_state() = 0;
    virtual ~Eleven_Slot_Manager() {}
    virtual void logout() = 0;
    virtual void start() = 0;
    virtual void send_message(std::uint32_t, const wide_string&, const wide_string&) = 0;
    virtual void send_admin_values(const std::uint32_t*, std::uint32_t, const wide_string&) = 0;
    virtual void send_admin_identifier(const Identifier128&, const wide_string&) = 0;
    virtual void send_admin_text(const wide_string&) = 0;
    virtual void send_command_message(std::uint32_t, const wide_string&, const wide_string&, std::uint32_t) = 0;
    virtual void send_command_values(const std::uint32_t*, std::uint32_t, const wide_string&, std::uint32_t) = 0;
    virtual void poll() = 0;
};

TEST(Interface_Slots, the_managers_slots_0_to_10_are_unchanged_and_get_last_end_is_slot_11) {
    EXPECT_EQ(entry_of(&Velta_Manager::get_state), entry_of_slot(0));
    EXPECT_EQ(entry_of(&Velta_Manager::logout), entry_of_slot(2));
    EXPECT_EQ(entry_of(&Velta_Manager::start), entry_of_slot(3));
    EXPECT_EQ(entry_of(&Velta_Manager::send_message), entry_of_slot(4));
    EXPECT_EQ(entry_of(&Velta_Manager::send_admin_values), entry_of_slot(5));
    EXPECT_EQ(entry_of(&Velta_Manager::send_admin_identifier), entry_of_slot(6));
    EXPECT_EQ(entry_of(&Velta_Manager::send_admin_text), entry_of_slot(7));
    EXPECT_EQ(entry_of(&Velta_Manager::send_command_message), entry_of_slot(8));
    EXPECT_EQ(entry_of(&Velta_Manager::send_command_values), entry_of_slot(9));
    EXPECT_EQ(entry_of(&Velta_Manager::poll), entry_of_slot(10));
    EXPECT_EQ(entry_of(&Velta_Manager::get_last_end), entry_of_slot(11));

    // Each operation of the older header sits where this one puts it.
    EXPECT_EQ(entry_of(&Eleven_Slot_Manager::logout), entry_of(&Velta_Manager::logout));
    EXPECT_EQ(entry_of(&Eleven_Slot_Manager::poll), entry_of(&Velta_Manager::poll));
}

TEST(Interface_Slots, a_host_built_against_the_eleven_slot_header_still_drives_the_manager) {
    velta_test::Test_Clock clock;
    velta_test::Recording_Handler handler;
    // What such a host's binary does: the same object, through its table.
    auto* old = reinterpret_cast<Eleven_Slot_Manager*>(new_velta_manager(&clock, &handler, u"", u"bob", u"pw"));
    EXPECT_EQ(old->get_state(), STATE_IDLE);
    old->start();
    EXPECT_EQ(old->get_state(), STATE_RESETTING);
    old->poll();
    EXPECT_EQ(old->get_state(), STATE_IDLE);
    EXPECT_EQ(handler.take(), std::vector<std::string>{"on_disconnected()"});
    delete old;
}

TEST(Interface_Slots, the_handlers_ten_slots_and_a_default_handler_that_takes_every_call) {
    EXPECT_EQ(entry_of(&Handler::on_admin_values), 0);
    EXPECT_EQ(entry_of(&Handler::on_message), 1);
    EXPECT_EQ(entry_of(&Handler::on_admin_identifier), 2);
    EXPECT_EQ(entry_of(&Handler::on_error), 3);
    EXPECT_EQ(entry_of(&Handler::on_disconnected), 4);
    EXPECT_EQ(entry_of(&Handler::on_connected), 5);
    EXPECT_EQ(entry_of(&Handler::on_message_stored), 6);
    EXPECT_EQ(entry_of(&Handler::on_admin_text), 7);
    EXPECT_EQ(entry_of(&Handler::on_command_values), 8);
    EXPECT_EQ(entry_of(&Handler::on_command_message), 9);

    // A chat-only host overrides one callback; the manager may call any.
    struct Chat_Only : Default_Handler {
        int disconnects = 0;
        void on_disconnected() override { ++disconnects; }
    } chat_only;
    velta_test::Test_Clock clock;
    std::unique_ptr<Velta_Manager> manager(new_velta_manager(&clock, &chat_only, u"", u"bob", u"pw"));
    manager->start();
    manager->poll();
    EXPECT_EQ(chat_only.disconnects, 1);
    Handler& any = chat_only;
    any.on_message(u"a", u"b", 0);
    any.on_error(Error("e", 2));
    any.on_command_message(CODE_COMMAND_MESSAGE, u"a", u"b", 0, 0);
}

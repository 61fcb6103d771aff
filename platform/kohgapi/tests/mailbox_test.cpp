// Service mailboxes: registration, delivery to the handler, sends from other
// processes, a full or missing mailbox.
#include "child_process.h"
#include "kohgapi.h"
#include "rt.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <sched.h>
#include <thread>
#include <vector>

namespace {

std::mutex received_mutex;
std::vector<std::array<uint32_t, 3>> received;
std::atomic<int> delay_ms{0};

uint32_t record(uint32_t first, uint32_t code, uint32_t third)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms.load()));
    std::lock_guard lock(received_mutex);
    received.push_back({first, code, third});
    return 0;
}

KoServiceRegistration registration()
{
    KoServiceRegistration r{};
    r.signature = KO_REGISTRATION_SIGNATURE;
    r.handler = record;
    return r;
}

size_t received_count()
{
    std::lock_guard lock(received_mutex);
    return received.size();
}

void wait_for(size_t n, int timeout_ms = 60000)
{
    for (int i = 0; i < timeout_ms / 5 && received_count() < n; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

TEST(Mailbox, RegistrationRules)
{
    KoServiceRegistration bad = registration();
    bad.signature = 0x1234;
    KoServiceBind("");
    KoServiceRegistration good = registration();
    EXPECT_EQ(KoServiceRegister(&good), KO_E_NO_SERVICE) << "no service name";
    EXPECT_NE(std::string(KoServiceError()).find("KO_SERVICE is not set"), std::string::npos) << KoServiceError();
    KoServiceBind("MB_RULES");
    EXPECT_EQ(KoServiceRegister(&bad), KO_E_REGISTER);
    EXPECT_EQ(KoServiceRegister(nullptr), KO_E_REGISTER);
    EXPECT_EQ(KoServiceRegister(&good), KO_OK);
    EXPECT_STREQ(KoServiceShortName, "MB_RULE");

    // Another process cannot serve the same name while this one lives.
    std::string served = "service MB_RULES is already served by process " + std::to_string(getpid());
    testnode::Child twin([&](int) {
        return KoServiceRegister(&good) == KO_E_SERVED && std::string(KoServiceError()) == served ? 0 : 1;
    });
    EXPECT_EQ(twin.wait(), 0);
    KoServiceEnd(nullptr);
    uintptr_t mailbox = 0;
    EXPECT_EQ(KoMailboxOpen("MB_RULE", 2, &mailbox), KO_E_MAILBOX) << "gone after KoServiceEnd";
}

TEST(Mailbox, MessageFromAnotherProcessReachesTheHandler)
{
    KoServiceBind("ECAT");
    KoServiceRegistration r = registration();
    ASSERT_EQ(KoServiceRegister(&r), KO_OK);
    testnode::Child sender([](int) {
        uintptr_t mailbox = 0;
        if (KoMailboxOpenByService("ECAT", 2, &mailbox) != KO_OK)
            return 1;
        const char name[] = "SERVICE.ECAT.CAN.00.DeviceStateImage";
        if (KoMailboxSend(mailbox, "ECAT", 117, name, sizeof name) != KO_OK)
            return 2;
        if (KoMailboxSend(mailbox, "ECAT", EM_SERVICE_RUN, nullptr, 0) != KO_OK)
            return 3;
        return static_cast<int>(KoMailboxClose(mailbox));
    });
    ASSERT_EQ(sender.wait(), 0);
    wait_for(2);
    std::lock_guard lock(received_mutex);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0][0], static_cast<uint32_t>(sender.pid()));
    EXPECT_EQ(received[0][1], 117u);
    EXPECT_EQ(received[0][2], 37u);
    EXPECT_EQ(received[1][1], 102u);
    EXPECT_EQ(received[1][2], 0u);
}

TEST(Mailbox, FourSendersEachMessageOnceInOrder)
{
    constexpr uint32_t kSenders = 4, kEach = 2500;
    KoServiceBind("MBLOAD");
    KoServiceRegistration r = registration();
    ASSERT_EQ(KoServiceRegister(&r), KO_OK);
    std::vector<std::unique_ptr<testnode::Child>> senders;
    for (uint32_t s = 0; s < kSenders; ++s)
        senders.push_back(std::make_unique<testnode::Child>([](int) {
            uintptr_t mailbox = 0;
            if (KoMailboxOpen("MBLOAD", 2, &mailbox) != KO_OK)
                return 1;
            for (uint32_t i = 0; i < kEach; ++i) {
                uint32_t status;
                while ((status = KoMailboxSend(mailbox, "MBLOAD", i, nullptr, 0)) == KO_E_MAILBOX_FULL)
                    sched_yield();
                if (status != KO_OK)
                    return 2;
            }
            return 0;
        }));
    for (auto &s : senders)
        EXPECT_EQ(s->wait(120000), 0);
    wait_for(kSenders * kEach);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // nothing more may arrive
    std::lock_guard lock(received_mutex);
    ASSERT_EQ(received.size(), kSenders * kEach);
    std::map<uint32_t, uint32_t> next;
    for (const auto &m : received) {
        ASSERT_EQ(m[1], next[m[0]]) << "sender " << m[0];
        ++next[m[0]];
    }
    EXPECT_EQ(next.size(), kSenders);
}

TEST(Mailbox, FullAndMissingMailboxesFail)
{
    KoServiceBind("MBFULL");
    KoServiceRegistration r = registration();
    delay_ms = 300;  // the handler sits on each message
    ASSERT_EQ(KoServiceRegister(&r), KO_OK);
    uintptr_t mailbox = 0;
    ASSERT_EQ(KoMailboxOpen("MBFULL", 2, &mailbox), KO_OK);
    uint32_t status = KO_OK;
    int sent = 0;
    while (sent < 1000 && (status = KoMailboxSend(mailbox, "MBFULL", 104, nullptr, 0)) == KO_OK)
        ++sent;
    EXPECT_EQ(status, KO_E_MAILBOX_FULL);
    EXPECT_GE(sent, 64);
    EXPECT_EQ(KoMailboxOpen("NOSUCH", 2, &mailbox), KO_E_MAILBOX);
    uint8_t big[KO_MAILBOX_DATA_MAX + 1] = {};
    EXPECT_EQ(KoMailboxSend(mailbox, "MBFULL", 1, big, sizeof big), KO_E_ARGUMENT);
    KoServiceEnd(nullptr);
}

}  // namespace

// mailbox.cpp - service mailboxes in the tag store: registration of the
// hosted service, the thread that delivers its messages to the control
// handler, and sending from any process of the node. A sender never waits:
// a full mailbox or a service whose process has ended is a non-zero result.
#include "futex.h"
#include "robust_mutex.h"
#include "rt.h"
#include "service.h"
#include "store.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <ctime>
#include <thread>
#include <unistd.h>

namespace ko {
namespace {

bool owner_alive(const Mailbox &m)
{
    return m.owner_pid != 0 && RtProcessStartTime(m.owner_pid) == m.owner_start;
}

// The mailbox of a live service by short name or name, or nullptr.
Mailbox *find_mailbox(Store *s, const char *name, bool by_short_name)
{
    for (uint32_t i = 0; i < s->header->mailbox_capacity; ++i) {
        Mailbox &m = s->mailboxes[i];
        RobustLock lock(&m.lock);
        if (!owner_alive(m))
            continue;
        if (std::strncmp(m.name, name, sizeof m.name) == 0 ||
            (by_short_name && std::strncmp(m.short_name, name, sizeof m.short_name) == 0))
            return &m;
    }
    return nullptr;
}

uint32_t open_mailbox(const char *name, bool by_short_name, uintptr_t *handle)
{
    Store *s = store();
    if (s == nullptr)
        return KO_E_STORE;
    if (name == nullptr || handle == nullptr)
        return KO_E_ARGUMENT;
    Mailbox *m = find_mailbox(s, name, by_short_name);
    if (m == nullptr)
        return KO_E_MAILBOX;
    *handle = static_cast<uintptr_t>(m - s->mailboxes) + 1;
    return KO_OK;
}

// The hosted service's delivery thread and mailbox.
struct Delivery {
    Mailbox *mailbox = nullptr;
    std::atomic<bool> stop{false};
    std::thread thread;
    ~Delivery()
    {
        if (thread.joinable())
            thread.detach();  // a process that exits without KoServiceEnd
    }
};
Delivery delivery;

void deliver(Mailbox *m, KoControlHandler handler)
{
    while (!delivery.stop.load()) {
        uint32_t seen = m->sequence.load();
        MailboxMessage message;
        bool have = false;
        {
            RobustLock lock(&m->lock);
            if (m->head != m->tail) {
                std::memcpy(&message, &m->messages[m->head % kMailboxDepth], sizeof message);
                ++m->head;
                have = true;
            }
        }
        if (have)
            handler(static_cast<uint32_t>(message.sender), message.code, message.length);
        else
            futex_wait(&m->sequence, seen, 200'000'000);
    }
}

}  // namespace
}  // namespace ko

using namespace ko;

namespace {

char register_error[256];

uint32_t refuse(uint32_t status, const std::string &why)
{
    std::snprintf(register_error, sizeof register_error, "%s", why.c_str());
    return status;
}

}  // namespace

extern "C" const char *KoServiceError(void)
{
    return register_error;
}

extern "C" uint32_t KoServiceRegister(const void *registration)
{
    register_error[0] = '\0';
    if (KoServiceName[0] == '\0') {
        std::string why = service_name_problem(std::getenv("KO_SERVICE"));
        return refuse(KO_E_NO_SERVICE, why.empty() ? "no service is bound to this process" : why);
    }
    if (registration == nullptr)
        return refuse(KO_E_REGISTER, "no registration record");
    KoServiceRegistration record;
    std::memcpy(&record, registration, sizeof record);
    if (record.signature != KO_REGISTRATION_SIGNATURE || record.handler == nullptr)
        return refuse(KO_E_REGISTER, "the registration record has a wrong signature or no handler");
    Store *s = store();
    if (s == nullptr)
        return refuse(KO_E_STORE, KoStoreError());

    Mailbox *chosen = nullptr;
    {
        RobustLock store_lock(&s->header->lock);  // one registration at a time, node-wide
        for (auto [name, by_short] : {std::pair{KoServiceName, false}, std::pair{KoServiceShortName, true}}) {
            if (name[0] == '\0')
                continue;
            if (Mailbox *m = find_mailbox(s, name, by_short); m != nullptr)
                return refuse(KO_E_SERVED, "service " + std::string(m->name) + " is already served by process " +
                                               std::to_string(m->owner_pid) +
                                               (by_short ? " (short name " + std::string(name) + ")" : ""));
        }
        if (delivery.mailbox != nullptr)
            return refuse(KO_E_REGISTER, "this process serves a service already");
        for (uint32_t i = 0; i < s->header->mailbox_capacity && chosen == nullptr; ++i) {
            Mailbox &m = s->mailboxes[i];
            RobustLock lock(&m.lock);
            if (owner_alive(m))
                continue;
            m.head = m.tail = 0;
            std::memset(m.name, 0, sizeof m.name);
            std::memset(m.short_name, 0, sizeof m.short_name);
            std::memcpy(m.name, KoServiceName, strnlen(KoServiceName, sizeof m.name - 1));
            std::memcpy(m.short_name, KoServiceShortName, strnlen(KoServiceShortName, sizeof m.short_name - 1));
            m.owner_start = RtProcessStartTime(getpid());
            m.owner_pid = getpid();
            chosen = &m;
        }
    }
    if (chosen == nullptr)
        return refuse(KO_E_FULL, "all " + std::to_string(kMailboxCapacity) + " service mailboxes of the node are taken");
    build_service_points();
    delivery.mailbox = chosen;
    delivery.stop.store(false);
    KoControlHandler handler = record.handler;  // out of the packed record
    delivery.thread = std::thread(deliver, chosen, handler);
    return KO_OK;
}

extern "C" uint32_t KoServiceEnd(void *)
{
    // Only a process that registered gives the service's name and entry up.
    if (delivery.mailbox == nullptr)
        return KO_OK;
    Mailbox *m = delivery.mailbox;
    delivery.stop.store(true);
    m->sequence.fetch_add(1);
    futex_wake(&m->sequence);
    if (delivery.thread.joinable()) {
        if (delivery.thread.get_id() == std::this_thread::get_id())
            delivery.thread.detach();
        else
            delivery.thread.join();
    }
    {
        RobustLock lock(&m->lock);
        m->owner_pid = 0;
        m->head = m->tail = 0;
    }
    delivery.mailbox = nullptr;
    if (KoServiceShortName[0] != '\0') {
        char catalog_name[16];
        std::snprintf(catalog_name, sizeof catalog_name, "KOSC%s", KoServiceShortName);
        (void)UncatalogRtHandle(GetRtThreadHandles(ROOT_PROCESS), catalog_name);
    }
    return KO_OK;
}

extern "C" uint32_t KoMailboxOpen(const char *mailbox_name, uint32_t, uintptr_t *mailbox)
{
    return open_mailbox(mailbox_name, true, mailbox);
}

extern "C" uint32_t KoMailboxOpenByService(const char *service_name, uint32_t, uintptr_t *mailbox)
{
    return open_mailbox(service_name, false, mailbox);
}

extern "C" uint32_t KoMailboxSend(uintptr_t mailbox, const char *, uint32_t code, const void *data, uint32_t length)
{
    Store *s = store();
    if (s == nullptr)
        return KO_E_STORE;
    if (mailbox == 0 || mailbox > s->header->mailbox_capacity || length > KO_MAILBOX_DATA_MAX ||
        (length > 0 && data == nullptr))
        return KO_E_ARGUMENT;
    Mailbox &m = s->mailboxes[mailbox - 1];
    {
        RobustLock lock(&m.lock);
        if (!owner_alive(m))
            return KO_E_MAILBOX;
        if (m.tail - m.head >= kMailboxDepth)
            return KO_E_MAILBOX_FULL;
        MailboxMessage &message = m.messages[m.tail % kMailboxDepth];
        message.code = code;
        message.sender = getpid();
        message.length = length;
        if (length > 0)
            std::memcpy(message.data, data, length);
        ++m.tail;
    }
    m.sequence.fetch_add(1);
    futex_wake(&m.sequence);
    return KO_OK;
}

extern "C" uint32_t KoMailboxClose(uintptr_t mailbox)
{
    return mailbox == 0 ? KO_E_ARGUMENT : KO_OK;
}

extern "C" uint32_t KoServiceEnumerate(KoServiceInfo *services, uint32_t max)
{
    Store *s = store();
    if (s == nullptr)
        return 0;
    uint32_t count = 0;
    for (uint32_t i = 0; i < s->header->mailbox_capacity; ++i) {
        Mailbox &m = s->mailboxes[i];
        RobustLock lock(&m.lock);
        if (!owner_alive(m))
            continue;
        if (services != nullptr && count < max) {
            KoServiceInfo &info = services[count];
            std::memcpy(info.name, m.name, sizeof info.name);
            std::memcpy(info.short_name, m.short_name, sizeof info.short_name);
            info.pid = m.owner_pid;
        }
        ++count;
    }
    return count;
}

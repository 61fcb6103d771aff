// reporting.cpp - the service's state in its tags: Status, Run, Error,
// Connected and Live, and the open step that sets them; any thread.
#include "iohost.h"
#include "log_lines.h"
#include "log_options.h"
#include "rt.h"

uint32_t ServiceOpen(ServiceConfig *config)
{
    SetRun(1);
    uint32_t api_status = 0;
    uint32_t status = DriverCalls.open(&g_record, &api_status);
    if (status != 0)
        LogPrint(KoServiceName, "ERR", "fnOpen error. Status[0x%xH]. ErrStatus[0x%xH],%s,%05d", status, api_status,
                 kKorecode, korecode_line::kOpenError);
    SetConnected(shared_get(config->connected), api_status);
    SetError(shared_get(config->error));
    shared_set(config->opened, 1);
    return status;
}

void SetStatus(uint32_t value)
{
    uint8_t v = static_cast<uint8_t>(value);
    uint8_t old = shared_get(g_config.status);
    if (v == old)
        return;
    LogPrint(KoServiceName, "OPE", "%s Change. %d > %d,%s,%05d", KoServiceStatusTag, old, v, kKorecode, korecode_line::kStatusChange);
    shared_set(g_config.status, v);
    KoTagWrite(KoServiceStatusTag, &v, 1);
}

namespace {

// A flag's low byte as 0 or 1, into its field and its one-byte tag. Callers
// on other threads may set the same flag meanwhile; whichever value the
// field ends with, the tag ends with it too, or a service could skip its
// cycles while its Error tag said 0.
uint8_t set_flag(uint8_t &field, uint32_t flag, const char *tag)
{
    uint8_t value = (flag & 0xFF) != 0 ? 1 : 0;
    shared_set(field, value);
    KoTagWrite(tag, &value, 1);
    for (uint8_t now; (now = shared_get(field)) != value; value = now)
        KoTagWrite(tag, &now, 1);
    return value;
}

}  // namespace

void SetRun(uint32_t flag)
{
    set_flag(g_config.run, flag, KoServiceRunTag);
}

void IncrementLive()
{
    uint32_t live = shared_get(g_config.live) + 1;
    shared_set(g_config.live, live);
    KoTagWrite(KoServiceLiveTag, &live, 4);
}

void SetError(uint32_t flag)
{
    uint8_t error = set_flag(g_config.error, flag, KoServiceErrorTag);
    LogPrint(KoServiceName, "DBG", "Error Status[%d]\n,%s,%05d", error, kKorecode, korecode_line::kErrorStatus);
}

void SetConnected(uint32_t flag, uint32_t code)
{
    uint8_t connected = set_flag(g_config.connected, flag, g_names.connected);
    KoTagWriteByEntry(g_record.connect_last_error_entry, &code, 4);
    LogPrint(KoServiceName, "DBG", "Connect Status[%d][0x%xH]\n,%s,%05d", connected, code, kKorecode, korecode_line::kConnectStatus);
}

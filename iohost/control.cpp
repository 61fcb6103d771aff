// control.cpp - the control codes the tag library delivers: run, stop,
// pause and trigger, and the stop steps. A code that comes during set-up is
// carried out at its end.
#include "iohost.h"
#include "log_lines.h"
#include "log_options.h"
#include "rt.h"

#include <atomic>
#include <cstdio>

namespace {

// Set-up has finished and a stop that came during it is pending.
std::atomic<bool> stop_requested{false};

bool setup_complete()
{
    return shared_get(g_config.state) == SETUP_COMPLETE;
}

}  // namespace

// The stop steps shared by the end notification and EM_SERVICE_STOP.
void StopService()
{
    SetRun(0);
    uint32_t api_status = 0;
    if (DriverCalls.close != nullptr)
        DriverCalls.close(&g_record, &api_status);
    SetConnected(shared_get(g_config.connected), api_status);
    SetError(shared_get(g_config.error));
    SetStatus(0);
    TerminateRtProcess(NULL_RTHANDLE, TRUE, 1000);
    std::printf("[LOG] : End %s Service\n", KoServiceName);
    std::fflush(stdout);
}


uint32_t ControlHandler(uint32_t first, uint32_t code, uint32_t third)
{
    EventStep event = shared_get(DriverCalls.event);  // set-up may be filling the table now
    uint32_t result = event != nullptr ? event(first, code, third) : 0;
    switch (code) {
    case EM_SERVICE_RUN: {
        LogPrint(KoServiceName, "DBG", "EM_SERVICE_RUN recieved.,%s,%05d", kKorecode, korecode_line::kServiceRun);
        std::atomic_ref<uint8_t> state(g_config.state);
        uint8_t seen = state.load();
        while (seen != SETUP_COMPLETE) {
            if (state.compare_exchange_weak(seen, SETUP_RUN_REQUESTED))
                return result;  // set-up opens at its end
        }
        return ServiceOpen(&g_config);
    }
    case EM_SERVICE_STOP:
        LogPrint(KoServiceName, "DBG", "EM_SERVICE_STOP recieved.,%s,%05d", kKorecode, korecode_line::kServiceStop);
        if (!setup_complete()) {
            // Carried out at the end of set-up; whoever takes the request runs it once.
            stop_requested.store(true);
            if (!setup_complete() || !stop_requested.exchange(false))
                return result;
        }
        StopService();
        return 0;
    case EM_SERVICE_PAUSE:
        LogPrint(KoServiceName, "DBG", "EM_SERVICE_PAUSE recieved.,%s,%05d", kKorecode, korecode_line::kServicePause);
        if (!setup_complete())
            return result;  // nothing runs yet
        SetRun(0);
        return 0;
    case EM_SERVICE_TRIGGER:
        if (setup_complete()) {
            uint8_t mode = shared_get(g_config.mode);
            if (mode == SERVICE_MODE_TRIGGERED)
                WakeInThreads(&g_config);
            if (mode == SERVICE_MODE_OUT_TRIGGERED || mode == SERVICE_MODE_TRIGGERED)
                WakeOutThreads(&g_config);
        }
        return result;
    default:
        return result;
    }
}

bool TakeStopRequest()
{
    return stop_requested.exchange(false);
}

// conchk.cpp - checks the connection at its own period through the driver's
// connection check (which may reconnect) and reports every change.
#include "iohost.h"
#include "rt.h"

void ConChkThread(void *param)
{
    auto *config = static_cast<ServiceConfig *>(param);
    RtSleepEx(1);
    uint32_t code = 0;
    for (;;) {
        if (shared_get(config->run) != 0 && DriverCalls.conn_check != nullptr && shared_get(config->opened) == 1) {
            uint8_t flag = DriverCalls.conn_check(&g_record, &code);
            if (flag != shared_get(config->connected))
                SetConnected(flag, code);
        }
        RtSleepEx(config->connect_chk_cycle);
    }
}

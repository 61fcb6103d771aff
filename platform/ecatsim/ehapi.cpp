// ehapi.cpp - "ehapi.rsl": the master interface of the simulated master,
// for callers that work beside the process data (the CAN gateway driver).
#include "ecatsim.h"
#include "master.h"

#include <cstring>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

ecatsim::Master *master_of(uint32_t handle)
{
    return handle == ecatsim::kMasterHandle ? ecatsim::Master::running() : nullptr;
}

}  // namespace

EXPORT uint32_t EhGetEhNodeStatus(const char *node_name, uint32_t)
{
    ecatsim::Master *master = ecatsim::Master::running();
    return master != nullptr && master->answers_to(node_name) ? EH_OK : EH_E_NO_MASTER;
}

EXPORT uint32_t EhOpen(const char *node_name, uint32_t *status)
{
    ecatsim::Master *master = ecatsim::Master::running();
    bool found = master != nullptr && master->answers_to(node_name);
    *status = found ? EH_OK : EH_E_NO_MASTER;
    return found ? ecatsim::kMasterHandle : 0;
}

EXPORT uint32_t EhClose(uint32_t handle)
{
    return master_of(handle) != nullptr ? EH_OK : EH_E_HANDLE;
}

EXPORT uint32_t EhFindSlave(uint32_t handle, EhSlaveSearch *search)
{
    ecatsim::Master *master = master_of(handle);
    if (master == nullptr)
        return EH_E_HANDLE;
    if (search == nullptr || search->size != sizeof(EhSlaveSearch))
        return EH_E_RECORD;
    return master->find(*search) ? EH_OK : EH_E_NOT_FOUND;
}

EXPORT uint32_t EhGetViosInAddress(uint32_t handle, uintptr_t *base, uint32_t *size)
{
    ecatsim::Master *master = master_of(handle);
    if (master == nullptr)
        return EH_E_HANDLE;
    *base = reinterpret_cast<uintptr_t>(master->input_image());
    *size = master->input_size();
    return EH_OK;
}

EXPORT uint32_t EhGetViosOutAddress(uint32_t handle, uintptr_t *base, uint32_t *size)
{
    ecatsim::Master *master = master_of(handle);
    if (master == nullptr)
        return EH_E_HANDLE;
    *base = reinterpret_cast<uintptr_t>(master->output_image());
    *size = master->output_size();
    return EH_OK;
}

EXPORT uint32_t EhGetState(uint32_t handle, uint16_t *reserved, uint16_t *state)
{
    ecatsim::Master *master = master_of(handle);
    if (master == nullptr)
        return EH_E_HANDLE;
    *reserved = 0;
    *state = master->state();
    return EH_OK;
}

EXPORT uint32_t EhReadOD(uint32_t handle, uint32_t, uint16_t, uint8_t, void *, uint32_t)
{
    return master_of(handle) != nullptr ? EH_E_NOT_SUPPORTED : EH_E_HANDLE;
}

EXPORT uint32_t EhWriteOD(uint32_t handle, uint32_t, uint16_t, uint8_t, const void *, uint32_t)
{
    return master_of(handle) != nullptr ? EH_E_NOT_SUPPORTED : EH_E_HANDLE;
}

EXPORT uint32_t EhWaitForCyclic(uint32_t handle, uint32_t timeout)
{
    ecatsim::Master *master = master_of(handle);
    return master != nullptr ? master->wait_cycle(timeout) : EH_E_HANDLE;
}

EXPORT uint32_t EhCancelWaitForCyclic(uint32_t handle, uint16_t thread)
{
    ecatsim::Master *master = master_of(handle);
    if (master == nullptr)
        return EH_E_HANDLE;
    master->cancel_wait(thread);
    return EH_OK;
}

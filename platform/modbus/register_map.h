// register_map.h - the node's own register map: the "local" device, and
// what a node with is_master 0 serves to outside masters. The service's
// threads and the server copy items under its lock; nobody does I/O while
// holding it. The points of the service say which addresses are served.
#pragma once

#include "address.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace mb {

class RegisterMap {
public:
    RegisterMap();
    void read(Table t, uint32_t first, uint32_t n, uint8_t *bits, uint16_t *registers);
    void write(Table t, uint32_t first, uint32_t n, const uint8_t *bits, const uint16_t *registers);

    // The addresses outside masters reach: those of the service's points
    // (output points publish, input points take what a master writes).
    // Without any point the whole map is served.
    void serve_points_of_service();

    // The reply PDU to a request PDU: data, or an exception (1 unsupported
    // function, 2 an address no point serves, 3 a count or length the
    // protocol does not allow). Returns the reply's length.
    size_t answer(const uint8_t *request, size_t length, uint8_t *reply);

private:
    // Whether the n items from first lie in the table and masters reach them.
    bool served(Table t, uint32_t first, uint32_t n, bool for_write) const;

    std::mutex lock_;
    std::vector<uint8_t> bits_[2];        // coils, discrete inputs: one byte per bit
    std::vector<uint16_t> registers_[2];  // input registers, holding registers
    // Per table and item: 1 readable by masters, 2 writable too; empty: all.
    std::vector<uint8_t> reach_[4];
};

RegisterMap &local_map();

}  // namespace mb

// store_probe - a second process of the node for the store tests, one job
// per run, so that a test can kill it at any moment:
//   store_probe open                  open (create and seed) the store; prints "open" or the error
//   store_probe tags PREFIX N         creates PREFIX0 .. PREFIX<N-1>, printing "ready" first
//   store_probe segment NAME SIZE     rewrites the segment, one byte pattern per write, for ever
//   store_probe register              registers KO_SERVICE, prints "registered", exits at once
#include "kohgapi.h"
#include "rt.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

uint32_t ignore(uint32_t, uint32_t, uint32_t)
{
    return 0;
}

void say(const char *line)
{
    std::printf("%s\n", line);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    std::string job = argc > 1 ? argv[1] : "";
    if (job == "open") {
        KoTagCount();
        std::string error = KoStoreError();
        say(error.empty() ? "open" : error.c_str());
        return error.empty() ? 0 : 1;
    }
    if (job == "tags" && argc == 4) {
        say("ready");
        int n = std::atoi(argv[3]);
        for (int i = 0; i < n; ++i)
            KoTagCreateEx((std::string(argv[2]) + std::to_string(i)).c_str(), KO_TYPE_I32, "probe", "made by the probe");
        return 0;
    }
    if (job == "segment" && argc == 4) {
        uint32_t size = static_cast<uint32_t>(std::atoi(argv[3])), entry = 0;
        if (KoTagCreateSegment(argv[2], KO_TYPE_SEGMENT, size, nullptr, nullptr, nullptr, 0, &entry) != KO_OK)
            return 1;
        std::vector<uint8_t> block(size);
        say("ready");
        for (uint8_t pattern = 1;; ++pattern) {
            std::memset(block.data(), pattern, size);
            KoTagWriteSegment(entry, 0, block.data(), size);
        }
    }
    if (job == "register") {
        KoServiceRegistration registration{};
        registration.signature = KO_REGISTRATION_SIGNATURE;
        registration.handler = ignore;
        if (KoServiceRegister(&registration) != KO_OK) {
            say(KoServiceError());
            return 1;
        }
        std::string catalog = std::string("KOSC") + KoServiceShortName;
        CatalogRtHandle(GetRtThreadHandles(ROOT_PROCESS), GetRtThreadHandles(THIS_PROCESS), catalog.c_str());
        say("registered");
        std::fflush(nullptr);
        _Exit(0);  // ends like a killed process: no KoServiceEnd
    }
    std::fprintf(stderr, "usage: store_probe open | tags PREFIX N | segment NAME SIZE | register\n");
    return 2;
}

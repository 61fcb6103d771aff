// log_print.cpp - LogPrint and DriverNameFromService, linked into the
// container and the EtherCAT and CAN drivers.
#include "log_options.h"

#include "kohgapi.h"
#include "rt.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" void LogPrint(const char *source, const char *level, const char *format, ...)
{
    // One buffer per call, so every thread may log at once without sharing:
    // a cycle thread's on its stack (it must not allocate), any other's from
    // the heap, the line dropped when there is none.
    char stack_line[LOG_LINE_SIZE];
    bool realtime = RtThreadIsRealtime() != 0;
    char *line = realtime ? stack_line : static_cast<char *>(std::malloc(LOG_LINE_SIZE));
    if (line == nullptr)
        return;
    std::memset(line, 0, LOG_LINE_SIZE);
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, LOG_LINE_SIZE, format, args);
    va_end(args);
    KoLogWrite(source, level, line);
    if (!realtime)
        std::free(line);
}

extern "C" void DriverNameFromService(char *out, size_t out_size)
{
    if (out == nullptr || out_size == 0)
        return;
    const char *name = KoServiceName;
    size_t name_length = strnlen(name, KO_SERVICE_NAME_SIZE);
    const char *token = name;
    while (token < name + name_length && *token == '_')
        ++token;
    size_t token_length = 0;
    while (token + token_length < name + name_length && token[token_length] != '_')
        ++token_length;
    if (token_length == 0) {  // empty name, or only "_": the name itself
        token = name;
        token_length = name_length;
    }
    if (token_length > out_size - 1)
        token_length = out_size - 1;
    std::memcpy(out, token, token_length);
    out[token_length] = '\0';
}

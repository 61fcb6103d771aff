/* kohgapi.h - the node's tag, mailbox, log and service library, as every
 * deliverable calls it (libkohgapi.so). All calls return 0 on success unless
 * said otherwise and may be called from any thread of any process.
 */
#ifndef KOHGAPI_H
#define KOHGAPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Sizes of the exported names, terminator included. */
#define KO_SERVICE_NAME_SIZE 28
#define KO_SERVICE_SHORT_NAME_SIZE 8

/* Name of the service this process hosts: the %s of its "SERVICE.%s." tags
 * and the source of its log lines. */
extern char KoServiceName[KO_SERVICE_NAME_SIZE];

/* Appends one line to the node log: source, level ("DBG", "OPE", "WRN",
 * "ERR") and text. Safe from many threads and processes at once. */
uint32_t KoLogWrite(const char *source, const char *level, const char *text);

#ifdef __cplusplus
}
#endif

#endif /* KOHGAPI_H */

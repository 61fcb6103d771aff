/* log_options.h - helpers shared by the container and the EtherCAT and CAN
 * drivers: one log line to the node log, the driver name derived from the
 * service name, and the "|"-separated option strings handed to lower
 * libraries. Callable from any thread; they keep no state.
 */
#ifndef LOG_OPTIONS_H
#define LOG_OPTIONS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Longest log line, terminator included; longer texts are cut. */
#define LOG_LINE_SIZE 1024

/* Formats one line (at most LOG_LINE_SIZE - 1 characters) and hands it to
 * KoLogWrite. The format ends in ",%s,%05d": source file name and line. A line
 * is dropped silently when no memory is available. */
void LogPrint(const char *source, const char *level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

/* Copies into out the part of KoServiceName before its first "_" (leading
 * "_" skipped), or the whole name when there is no such part. Always
 * terminated; cut to out_size - 1 characters. */
void DriverNameFromService(char *out, size_t out_size);

/* Option strings: heap texts of entries joined by "|"; an empty list is NULL;
 * the owner frees it with free. Each append leaves the list as it was when
 * memory runs out. */
void OptionAppend(char **list, const char *text);
/* Appends key immediately followed by value; nothing when either is empty. */
void OptionAppendPair(char **list, const char *key, const char *value);
/* Appends key immediately followed by number in decimal; nothing for an empty key. */
void OptionAppendNumber(char **list, const char *key, uint32_t number);

#ifdef __cplusplus
}
#endif

#endif /* LOG_OPTIONS_H */

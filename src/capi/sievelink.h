/* sievelink: read access to the screenshots of the user's photo library.
 *
 * Ownership: every non-null text returned here is a NUL-terminated UTF-8 JSON
 * text in its own heap block that belongs to the caller, who gives it back
 * exactly once with pk_free. A function returns NULL when it cannot make its
 * text. */
#ifndef SIEVELINK_H
#define SIEVELINK_H

#include <stdint.h>

#if defined(__GNUC__)
#define SIEVELINK_API __attribute__((visibility("default")))
#else
#define SIEVELINK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* {"status":WORD}: the current photo-library authorization; never prompts. */
SIEVELINK_API char* pk_auth_status(void);

/* Asks the user for access when nobody has decided yet, blocks until the
 * answer comes and returns {"status":WORD}. */
SIEVELINK_API char* pk_request_auth(void);

/* The screenshots of the last `days` calendar days, newest first, each copied
 * into `exportDir`, as a JSON array; a budget not above 0 means no limit; any
 * non-zero allowNetwork allows fetching originals not held locally. A NULL
 * exportDir gives {"error":"bad-args"}. */
SIEVELINK_API char* pk_list(int32_t days, const char* exportDir, double budgetSeconds, int32_t allowNetwork);

/* Frees a text returned by the functions above; NULL is ignored. */
SIEVELINK_API void pk_free(char* text);

#ifdef __cplusplus
}
#endif

#endif /* SIEVELINK_H */

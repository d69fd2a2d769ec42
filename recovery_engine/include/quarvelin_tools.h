/* What the recovery engine offers tools beyond the user interface (quarvelin-cli, scripts loading
 * the library): the carvable file types, and what the engine makes of a single file. Every function
 * has C linkage and the platform's standard calling convention, lets no failure escape but its
 * result, and returns a UTF-8 JSON text allocated with malloc that the caller releases with
 * NativeFree (quarvelin_native.h). */
#ifndef QUARVELIN_TOOLS_H
#define QUARVELIN_TOOLS_H

#include "quarvelin_native.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The file types a scan can carve, as a JSON array with one object per extension, in the order a
 * scan searches them:
 *   {"extension":"jpg","name":"JPEG","category":"Images","headers":["ffd8ffe0",...]}
 * extension is what StartNativeRecovery's fileTypes take; category is the folder its files go to
 * under the output folder; headers are the first bytes that announce the type, in lower-case hex.
 * Null only when the text cannot be allocated. */
QUARVELIN_EXPORT char* DescribeNativeFileTypes(void);

/* Tells the format of the file at path (taken as the other exports take paths) from its first
 * bytes, whatever its name, and runs the engine's structure check for that format. One JSON object:
 *   {"format":"JPEG","extension":"jpg","fileSize":N,"validated":true,"size":N,"confidence":N,
 *    "accepted":true,"fields":{...},"issues":["..."]}
 * format names every type sharing the header ("MP4/MOV/3GP/M4V"); extension is the one a scan would
 * carve it as. validated is false, and the members after it are absent, for formats without a
 * structure check. size is the length the file's own structure gives, confidence 0 to 100, accepted
 * whether a scan would trust that size; fields are the format's own (numbers, true/false or
 * strings), issues every problem found. When there is no identification (null or unreadable path,
 * empty file, no known header) the object is {"error":"why"} instead. Null only when the text
 * cannot be allocated. */
QUARVELIN_EXPORT char* IdentifyNativeFile(const char* path);

#ifdef __cplusplus
}
#endif

#endif /* QUARVELIN_TOOLS_H */

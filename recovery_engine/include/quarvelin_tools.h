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

/* StartNativeRecovery with options, each a "name=value" text (optionCount of them; none when the
 * count is 0 or less or options is null):
 *   "only=PATTERN"    files the file systems name are written only when their path on the volume
 *                     matches the glob PATTERN: '*' within a folder name, '**' across folders, '?'
 *                     one character, letters in either case; a pattern without '/' matches the
 *                     file's name in any folder: "*.docx", or "/Users/Ann/Pictures/" followed by
 * "**" "filesystems=no"  do not recover through the file systems (carving only) "carve=no" do not
 * carve (only what the file systems name) An unknown or malformed option refuses the scan: an Error
 * message, then Finished "0". */
QUARVELIN_EXPORT void StartNativeRecoveryWithOptions(const char* drivePath, const char* outputDir,
                                                     const char** fileTypes, int32_t fileTypeCount,
                                                     const char** options, int32_t optionCount,
                                                     NativeMessageCallback callback);

/* StartNativeDiskImage with options, each a "name=value" text (optionCount of them; none when the
 * count is 0 or less or options is null). Without options an imaging goes on with the rescue its
 * map records when the map is there (outputPath followed by ".map"), and starts afresh otherwise.
 *   "map=FILE"           the rescue map (GNU ddrescue's mapfile format) instead of outputPath.map
 *   "resume=yes"         go on with the rescue the map records; no map is an error
 *   "resume=no"          start afresh; an existing map is an error (it is never overwritten)
 *   "retries=N"          N passes over the bad sectors at the end (0 to 1000; default 0)
 *   "scrape=no"          leave the inside of failed areas unread (first pass and trimming only)
 *   "reverse=yes"        the first pass reads from the end of the source backwards
 *   "checksums=no"       no SHA-256 and MD5 of the finished image
 *   "progress=detailed"  Progress texts carry, after percent and speed, the bytes rescued, failed
 *                        and not tried, and the phase's map character: "PROGRESS|P|S|R|F|U|C"
 * An unknown or malformed option refuses the imaging with an Error message. */
QUARVELIN_EXPORT void StartNativeDiskImageWithOptions(const char* sourcePath,
                                                      const char* outputPath, const char** options,
                                                      int32_t optionCount,
                                                      NativeMessageCallback callback);

/* Lists what the FAT, exFAT and NTFS file systems on sourcePath hold, live and deleted, writing
 * nothing. Runs on the calling thread; every message reaches callback before it returns:
 *   FileFound, per file:  {"volume":1,"path":"/Photos/a.jpg","size":N,
 *                          "state":"live"|"deleted"|"deleted, possibly overwritten",
 *                          "created":"2024-05-01T13:45:02Z","modified":"...","problem":"..."}
 *                         (times and problem only when known)
 *   Status, per volume after its files:  {"volume":1,"fileSystem":"NTFS","firstSector":2048,
 *                          "sectorSize":512,"bytes":N,"origin":"MBR partition 1","label":"DATA",
 *                          "files":N,"error":"..."} (error only when the volume could not be read)
 *   Error when the source cannot be opened or holds no file system; then Finished with the number
 *   of files listed.
 * flags: 1 lists deleted files only; 2 probes every usual partition start of the whole source for
 * volumes no partition table lists (otherwise its first 64 MiB, or all of it when nothing else is
 * found). Does nothing when callback is null. */
QUARVELIN_EXPORT void ListNativeFiles(const char* sourcePath, int32_t flags,
                                      NativeMessageCallback callback);

#ifdef __cplusplus
}
#endif

#endif /* QUARVELIN_TOOLS_H */

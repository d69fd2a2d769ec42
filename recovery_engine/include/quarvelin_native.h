/* The recovery engine's C interface: what the user interface binds to through its foreign-function
 * interface, and all that quarvelin-cli uses. Every function has C linkage and the platform's
 * standard calling convention; none reports failure by return value. Work reports back through one
 * callback that receives a message kind and a heap text the receiver must release with NativeFree.
 * On Windows, paths and texts are narrow strings in the process's ANSI code page; the manifests of
 * quarvelin.exe and quarvelin-cli.exe make that UTF-8 (Windows 10 1903 and later). */
#ifndef QUARVELIN_NATIVE_H
#define QUARVELIN_NATIVE_H

#include <stdint.h>

#if defined(_WIN32)
#define QUARVELIN_EXPORT __declspec(dllexport)
#else
#define QUARVELIN_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* kind: one of the message kinds below; message: NUL-terminated text allocated with malloc for this
 * one call, owned by the receiver, released with NativeFree. Called on the engine's worker thread,
 * except "Scan Paused", "Scan Resumed" and the drive list, which arrive on the caller's thread. */
typedef void (*NativeMessageCallback)(int32_t kind, char* message);

#ifdef __cplusplus
enum class NativeMessageKind : int32_t {
  Progress = 0,
  FileFound = 1,
  Status = 2,
  Error = 3,
  Finished = 4,
  DriveList = 5,
};
#else
enum {
  NativeMessageProgress = 0,
  NativeMessageFileFound = 1,
  NativeMessageStatus = 2,
  NativeMessageError = 3,
  NativeMessageFinished = 4,
  NativeMessageDriveList = 5
};
#endif

/* Carves files of the given extensions (all when fileTypeCount is 0 or less, or fileTypes is null)
 * out of drivePath into category folders under outputDir. Ends with a Finished message holding the
 * number of files written. */
QUARVELIN_EXPORT void StartNativeRecovery(const char* drivePath, const char* outputDir,
                                          const char** fileTypes, int32_t fileTypeCount,
                                          NativeMessageCallback callback);
/* Copies the whole device sourcePath sector by sector into the raw image file outputPath. */
QUARVELIN_EXPORT void StartNativeDiskImage(const char* sourcePath, const char* outputPath,
                                           NativeMessageCallback callback);
QUARVELIN_EXPORT void PauseNativeRecovery(void);
QUARVELIN_EXPORT void ResumeNativeRecovery(void);
QUARVELIN_EXPORT void CancelNativeRecovery(void);
/* Lists the machine's drives: one DriveList message holding a JSON array, delivered to callback on
 * the calling thread before the function returns. Does nothing when callback is null. */
QUARVELIN_EXPORT void ListNativeDrives(NativeMessageCallback callback);
/* Releases a text handed to a callback. */
QUARVELIN_EXPORT void NativeFree(void* p);

#ifdef __cplusplus
}
#endif

#endif /* QUARVELIN_NATIVE_H */

// The C entry points. Each one is a thin guard around the process-wide engine: nothing thrown
// inside may cross into the foreign caller.
#include <cstdlib>

#include "drive_list.h"
#include "quarvelin_native.h"
#include "recovery_engine.h"

using quarvelin::ProcessEngine;

extern "C" {

QUARVELIN_EXPORT void StartNativeRecovery(const char* drivePath, const char* outputDir,
                                          const char** fileTypes, int32_t fileTypeCount,
                                          NativeMessageCallback callback) {
  try {
    ProcessEngine().StartRecovery(drivePath, outputDir, fileTypes, fileTypeCount, callback);
  } catch (...) {
  }
}

QUARVELIN_EXPORT void StartNativeDiskImage(const char* sourcePath, const char* outputPath,
                                           NativeMessageCallback callback) {
  try {
    ProcessEngine().StartDiskImage(sourcePath, outputPath, callback);
  } catch (...) {
  }
}

QUARVELIN_EXPORT void PauseNativeRecovery(void) {
  try {
    ProcessEngine().Pause();
  } catch (...) {
  }
}

QUARVELIN_EXPORT void ResumeNativeRecovery(void) {
  try {
    ProcessEngine().Resume();
  } catch (...) {
  }
}

QUARVELIN_EXPORT void CancelNativeRecovery(void) {
  try {
    ProcessEngine().Cancel();
  } catch (...) {
  }
}

QUARVELIN_EXPORT void ListNativeDrives(NativeMessageCallback callback) {
  if (callback == nullptr) {
    return;
  }
  try {
    quarvelin::EmitTo(callback, NativeMessageKind::DriveList,
                      quarvelin::DriveListJson(quarvelin::ListMachineDrives()));
  } catch (...) {
  }
}

QUARVELIN_EXPORT void NativeFree(void* p) {
  std::free(p);
}

}  // extern "C"

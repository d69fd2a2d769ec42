#!/usr/bin/env python3
"""The engine's exports as a foreign-function client sees them: no C++ of ours, only the C ABI.

Loads the engine library with ctypes, passes a C callback, images a file, and releases every text
with NativeFree, as the UI does with the executable's exports."""
import ctypes
import hashlib
import os
import shutil
import sys
import tempfile
import threading
import unittest

LIBRARY = None

# The message argument is taken as a raw pointer: it must go back to NativeFree unchanged.
CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_int32, ctypes.c_void_p)


class ImagingThroughExports(unittest.TestCase):
    def setUp(self):
        self.engine = ctypes.CDLL(LIBRARY)
        self.engine.StartNativeDiskImage.argtypes = [ctypes.c_char_p, ctypes.c_char_p, CALLBACK]
        self.engine.StartNativeDiskImage.restype = None
        self.engine.NativeFree.argtypes = [ctypes.c_void_p]
        self.engine.NativeFree.restype = None
        self.dir = tempfile.mkdtemp(prefix="quarvelin_ffi_")
        self.messages = []
        self.done = threading.Event()

        def on_message(kind, text):
            self.messages.append((kind, ctypes.string_at(text).decode()))
            self.engine.NativeFree(text)
            if kind in (3, 4):
                self.done.set()

        self.callback = CALLBACK(on_message)  # kept alive while the worker may call it

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_images_a_file_and_hands_out_texts_to_free(self):
        data = os.urandom(2 * 1048576 + 512)
        source = os.path.join(self.dir, "source.img").encode()
        output = os.path.join(self.dir, "copy.img").encode()
        with open(source, "wb") as f:
            f.write(data)
        self.engine.StartNativeDiskImage(source, output, self.callback)
        self.assertTrue(self.done.wait(60), "no end message")
        # Between the start and the end come the phases, the summary and the image's checksums.
        self.assertEqual(self.messages[:2], [
            (2, "Starting Disk Imaging on " + source.decode()),
            (2, "Source Size: 2 MB"),
        ])
        self.assertEqual(self.messages[-1], (4, "Imaging Complete. 2 MB copied."))
        self.assertIn((2, "Image SHA-256: " + hashlib.sha256(data).hexdigest()), self.messages)
        with open(output, "rb") as f:
            self.assertEqual(f.read(), data)

    def test_every_export_is_there_by_name(self):
        for name in ("StartNativeRecovery", "StartNativeDiskImage", "PauseNativeRecovery",
                     "ResumeNativeRecovery", "CancelNativeRecovery", "ListNativeDrives",
                     "NativeFree", "DescribeNativeFileTypes", "IdentifyNativeFile",
                     "StartNativeRecoveryWithOptions", "ListNativeFiles",
                     "StartNativeDiskImageWithOptions"):
            self.assertTrue(hasattr(self.engine, name), name)


if __name__ == "__main__":
    LIBRARY = sys.argv.pop(1)
    unittest.main()

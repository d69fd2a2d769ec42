#!/usr/bin/env python3
"""A whole run of quarvelin.exe under Wine, laid out as a user receives it (the executable, the
runtime and plugin libraries beside it, a data folder), with the stand-in runtime playing the user
interface from a script: the plugins come up in order, the window stays hidden until the interface
lets it show, the disk access channels read a drive letter whose raw device is an image file, a
volume arrival reaches the drive-change stream, a window drag returns, and the engine's exports
list the drives and carve files out of an image. The image and the output folder are named in
German, Greek and Japanese, passed as UTF-8 as the user interface passes them; when the test
session gave drive C: a volume label (QUARVELIN_TEST_LABEL), both drive lists must show it as it
is. A second run whose runtime refuses the view controller must end with status 1 before any
window is shown."""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

LIBRARIES = ["flutter_windows.dll", "audioplayers_windows_plugin.dll",
             "file_selector_windows_plugin.dll", "url_launcher_windows_plugin.dll",
             "video_player_win_plugin.dll"]
DRIVE_SECTORS = 64
READ_SECTOR = 3
CARVED = ["harbour_jfif_app0.jpg", "rgba_gradient_alpha.png", "gif87a_still.gif"]
GREEK_AND_JAPANESE = "Ωμέγα 日本"  # outside any one Windows code page but UTF-8
DISK = "com.ulvenmark/disk_access"
CHANGES = "com.ulvenmark/drive_changes"


def drive_bytes():
    # Sector s holds (s * 31 + j) & 0xFF at byte j.
    return bytes((s * 31 + j) & 0xFF for s in range(DRIVE_SECTORS) for j in range(512))


def carve_image(files_dir, path):
    """Each file at a sector boundary, between stretches of zeros."""
    data = bytearray(8 * 512)
    for name in CARVED:
        with open(os.path.join(files_dir, name), "rb") as f:
            data += f.read()
        data += bytes(-len(data) % 512) + bytes(8 * 512)
    with open(path, "wb") as out:
        out.write(data)


def windows_path(path):
    # Wine's Z: drive is the Unix root.
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def quoted(text):
    # The script is UTF-8, as the user interface's strings are.
    return json.dumps(text, ensure_ascii=False)


def stage(args, folder):
    staging = os.path.join(folder, "Quarvelin")
    os.makedirs(os.path.join(staging, "data", "flutter_assets"))
    shutil.copy(args.exe, os.path.join(staging, "quarvelin.exe"))
    for library in LIBRARIES:
        shutil.copy(os.path.join(args.bin_dir, library), staging)
    with open(os.path.join(staging, "data", "flutter_assets", "AssetManifest.json"), "w") as f:
        f.write("{}")
    for name in ("icudtl.dat", "app.so"):
        with open(os.path.join(staging, "data", name), "wb") as f:
            f.write(b"placeholder")
    return staging


def script(image, outdir):
    return "\n".join([
        "plugins",
        "window-visible",
        "window-table 1",
        "window-table 2 true",
        "show",
        "window-visible",
        f"call {DISK} enumerateDrives",
        f'call {DISK} openDrive {{"driveId": "R:\\\\", "readOnly": true}}',
        f'call {DISK} readSectors {{"handle": 1, "startSector": {READ_SECTOR}, "count": 1}}',
        f'call {DISK} closeDrive {{"handle": 1}}',
        f'call {DISK} getDriveGeometry {{"handle": 1}}',
        f"listen {CHANGES}",
        "send-window-message devicechange 0x8000 R",
        f"await-event {CHANGES}",
        f"cancel {CHANGES}",
        "drag",
        "export ListNativeDrives",
        "timeout 120000",
        f"export StartNativeRecovery {quoted(image)} {quoted(outdir)} []",
        "window-visible",
    ]) + "\n"


def check_transcript(lines, outdir, files_dir, label):
    failures = []

    def expect(condition, what):
        if not condition:
            failures.append(what)

    def index(line):
        return lines.index(line) if line in lines else -1

    expect(lines[:1] == ["start FLUTTER_RUNNER_WIN32_WINDOW"], "the script did not start in the "
           "application's top-level window")
    expect(lines[-1:] == ["end"], "the transcript does not end with 'end'")
    for line in lines:
        expect(not line.startswith(("timeout", "script-error", "unawaited")), f"unexpected: {line}")

    expect("plugins registered: audioplayers_windows_plugin, file_selector_windows_plugin, "
           "url_launcher_windows_plugin, video_player_win_plugin" in lines,
           "the four plugin libraries were not all registered")
    expect("registrars requested: AudioplayersWindowsPlugin, BitsdojoWindowPlugin, "
           "FileSelectorWindows, UrlLauncherWindows, VideoPlayerWinPluginCApi, DiskAccessPlugin"
           in lines, "registrars were not requested in the expected order")

    # Hidden after the first frame; shown once the interface allows it and shows it.
    visible = [i for i, line in enumerate(lines) if line.startswith("window-visible")]
    expect([lines[i] for i in visible] == ["window-visible false", "window-visible true",
                                           "window-visible true"],
           "the window's visibility was not hidden, then shown")
    allowed = index("window-table 2 true: done")
    expect(len(visible) == 3 and visible[0] < allowed < index("show") < visible[1],
           "the window was not hidden until slot 2 and show")
    expect("window-table 1: top-level window" in lines,
           "window table slot 1 is not the application window")

    drives = [line for line in lines if line.startswith(f"response {DISK} enumerateDrives: ")]
    expect(len(drives) == 1 and drives[0].startswith(
        f"response {DISK} enumerateDrives: success [") and '"id": "C:\\\\"' in drives[0],
        "enumerateDrives did not list C:\\")
    if label:
        expect(len(drives) == 1 and f'"letter": "C", "name": {quoted(label)},' in drives[0],
               f"enumerateDrives did not name C: {label}")
    expect(f"response {DISK} openDrive: success 1L" in lines, "openDrive on R: did not give id 1")
    sector = drive_bytes()[READ_SECTOR * 512:(READ_SECTOR + 1) * 512]
    expect(f"response {DISK} readSectors: success [{', '.join(map(str, sector))}]" in lines,
           "readSectors did not give sector 3 of the drive image")
    expect(f"response {DISK} closeDrive: success null" in lines, "closeDrive failed")
    expect(f"response {DISK} getDriveGeometry: error GEO_ERROR Invalid handle" in lines,
           "getDriveGeometry on a closed id was not refused with GEO_ERROR")

    expect(f"response {CHANGES} listen: success null" in lines, "listen failed")
    expect(any(line.startswith("devicechange 0x8000: ") for line in lines),
           "WM_DEVICECHANGE was not delivered")
    expect(any(re.fullmatch(rf'event {CHANGES}: success \{{"timestamp": \d+L, "type": "arrival"\}}',
                            line) for line in lines), "no arrival event after the volume arrived")
    expect(f"response {CHANGES} cancel: success null" in lines, "cancel failed")
    expect("response bitsdojo/window dragAppWindow: success null" in lines,
           "dragAppWindow was not answered with success")

    listed = [line[len("native DriveList "):] for line in lines
              if line.startswith("native DriveList ")]
    try:
        by_id = {d.get("id"): d for d in json.loads(listed[0])} if len(listed) == 1 else {}
        expect("C:\\" in by_id, "ListNativeDrives did not list C:\\")
        if label:
            expect(by_id.get("C:\\", {}).get("name") == label,
                   f"ListNativeDrives did not name C: {label}")
    except (ValueError, AttributeError) as e:
        failures.append(f"ListNativeDrives gave no JSON list: {e}")

    found = [line[len("native FileFound "):].split("|") for line in lines
             if line.startswith("native FileFound ")]
    expect(sorted(os.path.splitext(f[1])[1] for f in found if len(f) == 4) ==
           sorted(os.path.splitext(name)[1] for name in CARVED),
           "the scan did not find one file of each kind put on the image")
    for fields in found:
        if len(fields) != 4 or not fields[0].startswith(windows_path(outdir)):
            failures.append(f"malformed FileFound: {'|'.join(fields)}")
            continue
        local = os.path.join(outdir, *re.split(r"[\\/]", fields[0][len(windows_path(outdir)):])[1:])
        original = [n for n in CARVED if os.path.splitext(n)[1] == os.path.splitext(fields[1])[1]]
        with open(os.path.join(files_dir, original[0]), "rb") as f:
            wanted = f.read()
        expect(fields[2] == str(len(wanted)), f"{fields[1]}: size {fields[2]}, not {len(wanted)}")
        expect(os.path.isfile(local) and open(local, "rb").read() == wanted,
               f"{fields[1]} does not match {original[0]}")
    expect(f"native Finished {len(CARVED)}" in lines, "the scan did not finish with its count")
    return failures


def run(args, staging, env, timeout):
    try:
        return subprocess.run([args.emulator, "quarvelin.exe"], cwd=staging, env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              errors="replace", timeout=timeout)
    except subprocess.TimeoutExpired as e:
        return e


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--files", required=True, help="testdata/files")
    args = parser.parse_args()

    prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
    # R:, not the Q: the disk access test maps: CTest may run both at once.
    link = os.path.join(prefix, "dosdevices", "r::")
    failures = []
    with tempfile.TemporaryDirectory() as folder:
        staging = stage(args, folder)
        drive = os.path.join(folder, "drive.img")
        with open(drive, "wb") as out:
            out.write(drive_bytes())
        image = os.path.join(folder, f"Abbild {GREEK_AND_JAPANESE}.img")
        carve_image(args.files, image)
        outdir = os.path.join(folder, "Jürgen", f"Wiederhergestellt {GREEK_AND_JAPANESE}")
        ui_script = os.path.join(folder, "ui_script.txt")
        with open(ui_script, "w", encoding="utf-8") as out:
            out.write(script(windows_path(image), windows_path(outdir)))
        transcript = os.path.join(folder, "transcript.txt")
        env = dict(os.environ, QUARVELIN_UI_SCRIPT=windows_path(ui_script),
                   QUARVELIN_UI_TRANSCRIPT=windows_path(transcript))
        env.pop("QUARVELIN_FAKE_FAIL_VIEW_CONTROLLER", None)

        if os.path.lexists(link):
            os.remove(link)
        os.symlink(drive, link)
        try:
            done = run(args, staging, env, 300)
        finally:
            os.remove(link)
        lines = []
        if os.path.exists(transcript):
            with open(transcript, encoding="utf-8", errors="replace") as f:
                lines = f.read().splitlines()
        if isinstance(done, subprocess.TimeoutExpired):
            failures.append("the run did not end within its time")
        elif done.returncode != 0:
            failures.append(f"exit status {done.returncode}")
        failures += check_transcript(lines, outdir, args.files,
                                     os.environ.get("QUARVELIN_TEST_LABEL", ""))
        if failures:
            print("transcript:\n" + "\n".join(line[:300] for line in lines))
            print("stderr:\n" + str(done.stderr or ""))

        refused_env = dict(env, QUARVELIN_FAKE_FAIL_VIEW_CONTROLLER="1")
        os.remove(transcript) if os.path.exists(transcript) else None
        refused = run(args, staging, refused_env, 120)
        if isinstance(refused, subprocess.TimeoutExpired):
            failures.append("without a view controller the program did not end")
        else:
            if refused.returncode != 1:
                failures.append(f"without a view controller: exit status {refused.returncode}")
            if "Failed to create view controller." not in refused.stderr:
                failures.append("without a view controller: no message on stderr:\n"
                                + refused.stderr)
        if os.path.exists(transcript):
            failures.append("without a view controller a frame was drawn and the script ran")

    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

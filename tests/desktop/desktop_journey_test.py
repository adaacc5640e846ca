#!/usr/bin/env python3
"""The desktop converter driven as a person would, under a virtual display:
a folder of three photos, a PDF and a file the helper refuses converted to
PNG, and a cancelled batch.

Runs inside `xvfb-run dbus-run-session`: the application owns its name on the
session bus, and the test chooses and converts through the application's
actions (org.gtk.Actions, with `gapplication action`). The rows' states are
read back from the file $QUORVANTELMIC_CONVERTER_STATE_FILE names.

    desktop_journey_test.py APP HELPER FIXTURES [--screenshots DIR]
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

APP_ID = "org.quorvantelmic.Converter"
PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


RUNNING = []


class Converter:
    """One running application with its own cache, journal and state file."""

    def __init__(self, app, helper, root, files=()):
        RUNNING.append(self)
        self.state_file = os.path.join(root, "state.json")
        environment = dict(os.environ)
        environment.update({
            "XDG_CACHE_HOME": os.path.join(root, "cache"),
            "XDG_STATE_HOME": os.path.join(root, "state"),
            "QUORVANTELMIC_CONVERTER_STATE_FILE": self.state_file,
            # Drawn by the CPU renderer: the same pictures on every machine.
            "GSK_RENDERER": "cairo",
            "GDK_BACKEND": "x11",
            "NO_AT_BRIDGE": "1",
        })
        # GTK and its libraries keep allocations for the life of the process;
        # those are not ours to report. The helpers inherit this too.
        environment["ASAN_OPTIONS"] = "detect_leaks=0"
        self.log = open(os.path.join(root, "application.log"), "wb")
        self.process = subprocess.Popen([app, "--helper", helper, *files], env=environment,
                                        stdout=self.log, stderr=subprocess.STDOUT)
        path = "/" + APP_ID.replace(".", "/")
        self.wait_for(lambda: subprocess.run(["gdbus", "call", "--session", "--dest", APP_ID, "--object-path", path,
                                              "--method", "org.gtk.Actions.List"], capture_output=True)
                      .returncode == 0, "the application to appear on the session bus")

    def action(self, name, parameter=None):
        command = ["gapplication", "action", APP_ID, name]
        if parameter is not None:
            command.append(parameter)
        subprocess.run(command, check=True, timeout=120)

    def state(self):
        try:
            with open(self.state_file) as stream:
                return json.load(stream)
        except (FileNotFoundError, json.JSONDecodeError):
            return None

    def wait_for(self, condition, what, seconds=300):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise AssertionError("the application ended while waiting for " + what)
            if condition():
                return
            time.sleep(0.1)
        raise AssertionError("timed out waiting for " + what + "; last state: " + json.dumps(self.state()))

    def wait_for_rows(self, count, states, what):
        def ready():
            state = self.state()
            return (state is not None and not state["busy"] and len(state["rows"]) == count
                    and all(row["state"] in states for row in state["rows"]))
        self.wait_for(ready, what)
        return self.state()

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def quit(self):
        self.action("quit")
        status = self.process.wait(timeout=120)
        self.log.close()
        if status != 0:
            raise AssertionError("the application ended with status %d" % status)


def staging_left(folder):
    return [name for name in os.listdir(folder) if name.startswith(".quorvantelmic-stage-")]


def slow_helper(root, helper, seconds):
    """A helper that waits before every conversion into a destination (it
    holds a staging directory on descriptor 4), but not before inspections
    or thumbnails."""
    path = os.path.join(root, "slow-helper")
    with open(path, "w") as stream:
        # Descriptor 4 is the staging directory; a thumbnail's lies in the
        # cache's thumbnails folder.
        stream.write("#!/bin/sh\n"
                     "if [ -d /dev/fd/4 ] && [ ! -d /dev/fd/4/../../thumbnails ]; then sleep %d; fi\n"
                     "exec '%s'\n" % (seconds, helper))
    os.chmod(path, 0o755)
    return path


def copy_sources(fixtures, folder):
    os.makedirs(folder)
    sources = []
    for name in ("images/adobe-rgb.jpg", "images/gray-alpha.png", "images/alpha.webp"):
        target = os.path.join(folder, os.path.basename(name))
        shutil.copyfile(os.path.join(fixtures, name), target)
        sources.append(target)
    refused = os.path.join(folder, "notes.png")
    with open(refused, "w") as stream:
        stream.write("These are notes, not a picture.\n")
    return sources, refused


def test_converts_three_files_and_shows_a_refusal(app, helper, fixtures, root):
    folder = os.path.join(root, "photos")
    sources, refused = copy_sources(fixtures, folder)
    report = os.path.join(folder, "Report.pdf")
    shutil.copyfile(os.path.join(fixtures, "..", "..", "samples", "Report.pdf"), report)
    # One photo in a subfolder, which comes with the folder; a hidden folder's
    # picture does not.
    os.makedirs(os.path.join(folder, "day 2"))
    moved = os.path.join(folder, "day 2", os.path.basename(sources[2]))
    os.rename(sources[2], moved)
    sources[2] = moved
    os.makedirs(os.path.join(folder, ".thumbnails"))
    shutil.copyfile(sources[0], os.path.join(folder, ".thumbnails", "cached.jpg"))
    # Given the folder, as the file manager's "Open With" gives it.
    converter = Converter(app, helper, root, [folder])
    state = converter.wait_for_rows(5, {"waiting"}, "the five files to be inspected")
    by_path = {row["path"]: row for row in state["rows"]}
    for source in sources:
        assert by_path[os.path.realpath(source)]["kind"] == "image", by_path
        assert "pixels" in by_path[os.path.realpath(source)]["facts"], by_path
    assert by_path[os.path.realpath(report)]["kind"] == "pdf", by_path
    assert "3 pages" in by_path[os.path.realpath(report)]["facts"], by_path
    assert by_path[os.path.realpath(refused)]["kind"] == "unreadable", by_path
    converter.action("target", "'png'")
    converter.action("pages", "'png'")
    converter.action("convert")
    state = converter.wait_for_rows(5, {"done", "failed"}, "the batch to end")
    by_path = {row["path"]: row for row in state["rows"]}
    real = os.path.realpath(folder)
    for source in sources:
        row = by_path[os.path.realpath(source)]
        assert row["state"] == "done", row
        expected = os.path.splitext(os.path.realpath(source))[0] + ".png"
        if os.path.basename(source) == "gray-alpha.png":
            # The original keeps its name; the PNG made from it is the next free one.
            expected = expected[:-4] + " 2.png"
        assert row["published"] == expected, (row, expected)
        with open(expected, "rb") as stream:
            assert stream.read(8) == PNG_MAGIC, expected
    row = by_path[os.path.realpath(report)]
    assert row["state"] == "done" and row["published"] == os.path.join(real, "Report page 1.png"), row
    for page in (1, 2, 3):
        with open(os.path.join(real, "Report page %d.png" % page), "rb") as stream:
            assert stream.read(8) == PNG_MAGIC, page
    row = by_path[os.path.realpath(refused)]
    assert row["state"] == "failed", row
    assert "not an image the converter reads" in row["detail"], row
    assert staging_left(folder) == [], staging_left(folder)
    assert staging_left(os.path.join(folder, "day 2")) == []
    assert "4 converted, 1 failed" in state["status"], state["status"]
    converter.quit()


def test_cancel_removes_staged_work(app, helper, fixtures, root):
    folder = os.path.join(root, "photos")
    sources, _ = copy_sources(fixtures, folder)
    before = sorted(os.listdir(folder))
    converter = Converter(app, slow_helper(root, helper, 60), root, sources)
    converter.wait_for_rows(3, {"waiting"}, "the files to be inspected")
    converter.action("convert")
    # A conversion is under way once its staging directory is there.
    converter.wait_for(lambda: staging_left(folder) and any(row["state"] == "converting"
                                                            for row in converter.state()["rows"]),
                       "a conversion to start")
    converter.action("cancel")
    state = converter.wait_for_rows(3, {"cancelled"}, "the batch to stop")
    assert "Cancelled" in state["status"], state["status"]
    assert staging_left(folder) == [], staging_left(folder)
    assert sorted(os.listdir(folder)) == before, os.listdir(folder)
    journal = os.path.join(root, "state", "quorvantelmic-convert", "journal")
    assert not [name for name in os.listdir(journal) if not name.endswith(".lock")], os.listdir(journal)
    converter.quit()


def take_screenshots(app, helper, fixtures, root, screenshots):
    """The main states, for the documentation."""
    folder = os.path.join(root, "photos")
    sources, refused = copy_sources(fixtures, folder)
    shutil.copyfile(os.path.join(fixtures, "..", "..", "samples", "Report.pdf"), os.path.join(folder, "Report.pdf"))
    converter = Converter(app, slow_helper(root, helper, 4), root)
    time.sleep(2)
    converter.action("screenshot", "'%s'" % os.path.join(screenshots, "empty.png"))
    for path in [sources[0], refused, os.path.join(folder, "Report.pdf"), *sources[1:]]:
        converter.action("add", "'%s'" % path)
    converter.wait_for_rows(5, {"waiting"}, "the files to be inspected")
    converter.action("target", "'avif'")
    converter.action("strip-metadata", "true")
    converter.action("screenshot", "'%s'" % os.path.join(screenshots, "items-added.png"))
    converter.action("convert")
    converter.wait_for(lambda: sum(row["state"] == "converting" for row in converter.state()["rows"]) >= 2,
                       "conversions to start")
    time.sleep(1)
    converter.action("screenshot", "'%s'" % os.path.join(screenshots, "converting.png"))
    converter.wait_for_rows(5, {"done", "failed"}, "the batch to end")
    converter.action("screenshot", "'%s'" % os.path.join(screenshots, "done-with-one-failure.png"))
    converter.quit()


def main():
    app, helper, fixtures = (os.path.abspath(argument) for argument in sys.argv[1:4])
    screenshots = None
    if len(sys.argv) > 5 and sys.argv[4] == "--screenshots":
        screenshots = os.path.abspath(sys.argv[5])
        os.makedirs(screenshots, exist_ok=True)
        with tempfile.TemporaryDirectory() as root:
            take_screenshots(app, helper, fixtures, root, screenshots)
        return
    failures = 0
    for test in (test_converts_three_files_and_shows_a_refusal, test_cancel_removes_staged_work):
        with tempfile.TemporaryDirectory() as root:
            try:
                test(app, helper, fixtures, root)
                print("PASSED", test.__name__)
            except AssertionError as failure:
                for converter in RUNNING:
                    converter.kill()
                failures += 1
                print("FAILED", test.__name__ + ":", failure)
                log = os.path.join(root, "application.log")
                if os.path.exists(log):
                    print(open(log, errors="replace").read())
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()

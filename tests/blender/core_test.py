# Unit tests of the add-on's logic that needs no Blender
# (blender/vantrel_addon/core.py), with plain Python 3:
#
#   python3 tests/blender/core_test.py [-v]
#
# With VANTREL_PROGRAM set to the vantrel program, the cache and topology
# the add-on writes also go through the program, and its rig and report are
# read back.

import json
import os
import struct
import subprocess
import sys
import tempfile
import time
import unittest
from array import array

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "blender", "vantrel_addon"))
import core  # noqa: E402

# The program's standard error on a small run (not a terminal).
PROGRAM_LINES = """\
reading /tmp/x/animation.pc2 ...
placing 8 joints ...
building the scene ...
run 1 (reselect, start 1), iteration 1/5: error 0.202906
run 1 (reselect, start 1), iteration 2/5: error 0.15427
run 2 (polish), iteration 1/16: error 0.0965847
run 2 (polish), iteration 2/16: error 0.0928296
run 2 (polish), iteration 2/16: error 0.0928296 (31 s)
note: this is a large decomposition (about 2 min of solving); -b, -n or --frames make it smaller
writing /tmp/x/rig.glb ...
""".splitlines()


class Pc2Test(unittest.TestCase):
    def test_header_and_frames_round_trip(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "a.pc2")
            frames = [[0.0, 1.0, 2.0, 3.0, 4.0, 5.0], array("f", [6, 7, 8, 9, 10, 11.5])]
            core.write_pc2(path, frames, start_frame=3, sample_rate=2)
            with open(path, "rb") as f:
                data = f.read()
            self.assertEqual(data[:12], b"POINTCACHE2\0")
            self.assertEqual(struct.unpack_from("<iiffi", data, 12), (1, 2, 3.0, 2.0, 2))
            self.assertEqual(len(data), 32 + 2 * 2 * 3 * 4)
            start, rate, read = core.read_pc2(path)
            self.assertEqual((start, rate), (3.0, 2.0))
            self.assertEqual([list(f) for f in read], [list(map(float, f)) for f in frames])

    def test_writer_checks_counts(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "a.pc2")
            writer = core.Pc2Writer(path, 2, 2)
            with self.assertRaises(ValueError):
                writer.write_frame([0.0] * 5)
            writer.write_frame([0.0] * 6)
            with self.assertRaisesRegex(ValueError, "1 frames written of the 2"):
                writer.close()
            with self.assertRaises(ValueError):
                core.write_pc2(path, [[0.0] * 6, [0.0] * 3])


class ObjTest(unittest.TestCase):
    def test_positions_faces_and_uvs(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "a.obj")
            core.write_obj(path, [0, 0, 0, 1, 0, 0, 0, 1, 0.5], [(0, 1, 2)], uvs=[0, 0, 1, 0, 0, 1],
                           uv_triangles=[(0, 1, 2)])
            with open(path) as f:
                lines = [line.strip() for line in f if not line.startswith("#")]
            self.assertEqual(lines, ["v 0 0 0", "v 1 0 0", "v 0 1 0.5", "vt 0 0", "vt 1 0", "vt 0 1",
                                     "f 1/1 2/2 3/3"])
            core.write_obj(path, [0, 0, 0, 1, 0, 0, 0, 1, 0], [(2, 1, 0)])
            with open(path) as f:
                self.assertIn("f 3 2 1\n", f.read())


class FramesTest(unittest.TestCase):
    def test_sampled_frames(self):
        self.assertEqual(core.sampled_frames(1, 5, 1), [1, 2, 3, 4, 5])
        self.assertEqual(core.sampled_frames(1, 6, 2), [1, 3, 5])
        self.assertEqual(core.sampled_frames(-2, 0, 1), [-2, -1, 0])
        with self.assertRaisesRegex(ValueError, "empty"):
            core.sampled_frames(5, 3, 1)
        with self.assertRaisesRegex(ValueError, "at least 1"):
            core.sampled_frames(1, 3, 0)

    def test_rest_index(self):
        self.assertEqual(core.rest_index([1, 3, 5], 3), 1)
        with self.assertRaisesRegex(ValueError, "not one of the sampled frames"):
            core.rest_index([1, 3, 5], 2)
        with self.assertRaisesRegex(ValueError, "outside the frame range 1 to 3"):
            core.rest_index([1, 2, 3], 9)


class ProgressTest(unittest.TestCase):
    def test_stages_iterations_and_notes(self):
        tracker = core.ProgressTracker(expected_iterations=10)
        fractions = []
        for line in PROGRAM_LINES:
            self.assertTrue(tracker.feed(line), line)
            fractions.append(tracker.fraction)
        self.assertEqual(fractions, sorted(fractions))
        self.assertGreater(fractions[0], 0.0)
        self.assertLess(fractions[-2], core.ProgressTracker.WRITING)
        self.assertEqual(fractions[-1], core.ProgressTracker.WRITING)
        self.assertEqual(tracker.iterations, 4)  # the "(31 s)" line repeats one
        self.assertAlmostEqual(tracker.last_error, 0.0928296)
        self.assertEqual(tracker.status, "writing the rig")
        self.assertEqual(len(tracker.notes), 1)
        self.assertTrue(tracker.notes[0].startswith("this is a large decomposition"))
        self.assertEqual(tracker.other_lines, [])

    def test_status_of_an_iteration(self):
        tracker = core.ProgressTracker()
        tracker.feed("run 3 (polish), iteration 7/16: error 0.5")
        self.assertEqual(tracker.status, "run 3 (polish), iteration 7/16, error 0.5")
        tracker.feed("placing 8 joints ... (12 s)")
        self.assertEqual(tracker.status, "placing 8 joints (12 s)")

    def test_other_lines_are_kept(self):
        tracker = core.ProgressTracker()
        self.assertFalse(tracker.feed("vantrel: cannot read x.pc2"))
        self.assertEqual(tracker.other_lines, ["vantrel: cannot read x.pc2"])
        self.assertEqual(tracker.fraction, 0.0)

    def test_expected_iterations(self):
        self.assertEqual(core.expected_iterations(20), 60)
        self.assertEqual(core.expected_iterations(20, ["-j", "2", "--search", "0"]), 20)
        self.assertEqual(core.expected_iterations(10, ["--search=0.5"]), 15)
        self.assertEqual(core.expected_iterations(10, ["--search", "x"]), 30)

    def test_fraction_never_passes_writing_while_solving(self):
        tracker = core.ProgressTracker(expected_iterations=2)
        for i in range(1, 50):
            tracker.feed("run 1 (polish), iteration %d/50: error 1" % i)
        self.assertEqual(tracker.fraction, core.ProgressTracker.WRITING)


class FailureMessageTest(unittest.TestCase):
    def test_last_meaningful_line(self):
        self.assertEqual(core.failure_message(["reading x ...", "vantrel: bad file x.pc2", ""], 1),
                         "bad file x.pc2")
        self.assertEqual(core.failure_message(["--bones: must be at least 1, not 0",
                                               "Run with --help for more information."], 2),
                         "--bones: must be at least 1, not 0")
        self.assertIn("exit code 3", core.failure_message([], 3))
        self.assertIn("signal 9", core.failure_message([], -9))


class FindProgramTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.root = self.folder.name
        self.addon = os.path.join(self.root, "addon")
        os.makedirs(self.addon)
        self.saved_path = os.environ.get("PATH", "")
        os.environ["PATH"] = os.path.join(self.root, "nothing")

    def tearDown(self):
        os.environ["PATH"] = self.saved_path
        self.folder.cleanup()

    def program(self, *parts, executable=True):
        path = os.path.join(self.root, *parts)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n")
        os.chmod(path, 0o755 if executable else 0o644)
        return path

    def test_configured(self):
        path = self.program("x", "vantrel")
        self.assertEqual(core.find_program(path, self.addon), (path, None))
        self.assertEqual(core.find_program(os.path.dirname(path), self.addon), (path, None))
        missing = os.path.join(self.root, "y", "vantrel")
        program, message = core.find_program(missing, self.addon)
        self.assertIsNone(program)
        self.assertIn("was not found", message)
        plain = self.program("z", "vantrel", executable=False)
        program, message = core.find_program(plain, self.addon)
        self.assertIsNone(program)
        self.assertIn("cannot be run", message)

    def test_beside_the_addon_then_path(self):
        program, message = core.find_program("", self.addon)
        self.assertIsNone(program)
        self.assertIn("beside the add-on or on PATH", message)
        on_path = self.program("bin", "vantrel")
        os.environ["PATH"] = os.path.dirname(on_path)
        self.assertEqual(core.find_program("", self.addon), (on_path, None))
        self.assertEqual(core.find_program("vantrel", self.addon), (on_path, None))
        beside = self.program("addon", "bin", "vantrel")
        self.assertEqual(core.find_program("", self.addon), (beside, None))
        beside = self.program("addon", "vantrel")
        self.assertEqual(core.find_program("", self.addon), (beside, None))


class CommandTest(unittest.TestCase):
    def test_options(self):
        command = core.build_command("/p/vantrel", "a.pc2", "a.obj", "r.glb", "r.json",
                                     {"joints": 8, "influences": 3, "iterations": 15, "affine": True,
                                      "rest_index": 2, "fps": 25, "extra_arguments": ["--search", "0"]})
        self.assertEqual(command[:8], ["/p/vantrel", "decompose", "a.pc2", "--topology", "a.obj", "-o", "r.glb",
                                       "--report"])

        def value(flag):
            return command[command.index(flag) + 1]

        self.assertEqual((value("-b"), value("-k"), value("-n")), ("8", "3", "15"))
        self.assertEqual((value("--rest-frame"), value("--fps"), value("--up")), ("2", "25", "z"))
        self.assertIn("--affine", command)
        self.assertEqual(command[-2:], ["--search", "0"])
        command = core.build_command("v", "a", "b", "c", "d", {"joints": 1, "influences": 1, "iterations": 1})
        self.assertNotIn("--affine", command)


def minimal_glb(path, joints, weights):
    """A .glb with one skinned triangle: JOINTS_0 as unsigned shorts,
    WEIGHTS_0 as floats (as the program writes them)."""
    positions = struct.pack("<9f", 0, 0, 0, 1, 0, 0, 0, 1, 0)
    joint_data = struct.pack("<12H", *[j for v in joints for j in v])
    weight_data = struct.pack("<12f", *[w for v in weights for w in v])
    binary = positions + joint_data + weight_data
    document = {
        "asset": {"version": "2.0"},
        "buffers": [{"byteLength": len(binary)}],
        "bufferViews": [{"buffer": 0, "byteOffset": 0, "byteLength": 36},
                        {"buffer": 0, "byteOffset": 36, "byteLength": 24},
                        {"buffer": 0, "byteOffset": 60, "byteLength": 48}],
        "accessors": [{"bufferView": 0, "componentType": 5126, "count": 3, "type": "VEC3"},
                      {"bufferView": 1, "componentType": 5123, "count": 3, "type": "VEC4"},
                      {"bufferView": 2, "componentType": 5126, "count": 3, "type": "VEC4"}],
        "meshes": [{"primitives": [{"attributes": {"POSITION": 0, "JOINTS_0": 1, "WEIGHTS_0": 2}}]}],
        "nodes": [{"name": "a"}, {"name": "b"}, {"name": "mesh", "mesh": 0, "skin": 0}],
        "skins": [{"joints": [0, 1]}],
    }
    text = json.dumps(document).encode()
    text += b" " * (-len(text) % 4)
    with open(path, "wb") as f:
        f.write(struct.pack("<4sII", b"glTF", 2, 12 + 8 + len(text) + 8 + len(binary)))
        f.write(struct.pack("<II", len(text), 0x4E4F534A) + text)
        f.write(struct.pack("<II", len(binary), 0x004E4942) + binary)


class ResultsTest(unittest.TestCase):
    def test_skin_of_a_glb(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "r.glb")
            minimal_glb(path, [(0, 1, 0, 0), (1, 0, 0, 0), (0, 0, 0, 0)],
                        [(0.25, 0.75, 0, 0), (1, 0, 0, 0), (1, 0, 0, 0)])
            count, weights = core.read_skin(path)
            self.assertEqual(count, 2)
            self.assertEqual(weights, [[(0, 0.25), (1, 0.75)], [(1, 1.0)], [(0, 1.0)]])
            self.assertEqual(core.rest_positions(path), [0, 0, 0, 1, 0, 0, 0, 1, 0])

    def test_report(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "r.json")
            with open(path, "w") as f:
                json.dump({"eRms": 1.5, "maxDistance": 0.25, "rmsDistance": 0.1, "restDiagonal": 3.0,
                           "sizes": {"joints": 8}, "settings": {"bones": 8, "influences": 4},
                           "iterationsDone": 40, "maxDistanceAt": {"frame": 3, "vertex": 7},
                           "notes": ["a note"]}, f)
            figures = core.read_report(path)
            self.assertEqual(figures["e_rms"], 1.5)
            self.assertEqual(figures["max_distance"], 0.25)
            self.assertEqual((figures["joints"], figures["influences"], figures["iterations"]), (8, 4, 40))
            self.assertEqual(figures["worst_frame"], 3)
            self.assertEqual(figures["notes"], ["a note"])
            self.assertIn("E_RMS 1.5, max distance 0.25", core.summary(figures))


class ProgramRunTest(unittest.TestCase):
    def test_lines_and_exit_code(self):
        with tempfile.TemporaryDirectory() as folder:
            script = "import sys; sys.stderr.write('one\\ntwo\\rthree\\n'); print('out'); sys.exit(3)"
            run = core.ProgramRun([sys.executable, "-c", script], os.path.join(folder, "out.txt"))
            deadline = time.monotonic() + 30
            while run.poll() is None:
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.01)
            self.assertEqual(run.poll(), 3)
            self.assertEqual(run.new_lines(), ["one", "two", "three"])
            run.close()
            with open(os.path.join(folder, "out.txt")) as f:
                self.assertEqual(f.read().strip(), "out")

    def test_stop(self):
        with tempfile.TemporaryDirectory() as folder:
            run = core.ProgramRun([sys.executable, "-c", "import time; time.sleep(60)"],
                                  os.path.join(folder, "out.txt"))
            start = time.monotonic()
            run.stop()
            self.assertIsNotNone(run.process.poll())
            self.assertLess(time.monotonic() - start, 10)


@unittest.skipUnless(os.environ.get("VANTREL_PROGRAM"), "VANTREL_PROGRAM is not set")
class WithTheProgramTest(unittest.TestCase):
    """What the add-on writes goes through the program, and what the program
    writes reads back."""

    def test_round_trip(self):
        # A strip of 2 x 6 vertices bending about its middle over 6 frames,
        # in Blender's Z-up axes.
        import math
        rest = []
        for i in range(6):
            for j in range(2):
                rest.append((float(i) - 2.5, float(j), 0.0))
        frames = []
        for f in range(6):
            angle = 0.15 * f
            frame = []
            for x, y, z in rest:
                if x > 0:
                    x, z = x * math.cos(angle), x * math.sin(angle)
                frame.extend((x, y, z))
            frames.append(frame)
        triangles = []
        for i in range(5):
            a, b, c, d = 2 * i, 2 * i + 1, 2 * i + 2, 2 * i + 3
            triangles += [(a, c, b), (b, c, d)]
        with tempfile.TemporaryDirectory() as folder:
            cache = os.path.join(folder, "a.pc2")
            topology = os.path.join(folder, "a.obj")
            rig = os.path.join(folder, "r.glb")
            report = os.path.join(folder, "r.json")
            core.write_pc2(cache, frames)
            core.write_obj(topology, frames[0], triangles)
            command = core.build_command(os.environ["VANTREL_PROGRAM"], cache, topology, rig, report,
                                         {"joints": 2, "influences": 2, "iterations": 10, "rest_index": 0,
                                          "fps": 24})
            done = subprocess.run(command, capture_output=True, text=True)
            self.assertEqual(done.returncode, 0, done.stderr)
            tracker = core.ProgressTracker()
            for line in done.stderr.splitlines():
                tracker.feed(line)
            self.assertGreater(tracker.iterations, 0)
            self.assertEqual(tracker.status, "writing the rig")
            figures = core.read_report(report)
            self.assertEqual(figures["joints"], 2)
            self.assertLess(figures["max_distance"], 0.05)
            count, weights = core.read_skin(rig)
            self.assertEqual(count, 2)
            self.assertEqual(len(weights), len(rest))
            for influences in weights:
                self.assertAlmostEqual(sum(w for _, w in influences), 1.0, places=4)
            # Z-up in, glTF's Y-up in the file: (x, y, z) -> (x, z, -y).
            stored = core.rest_positions(rig)
            for v, (x, y, z) in enumerate(rest):
                self.assertAlmostEqual(stored[3 * v], x, places=5)
                self.assertAlmostEqual(stored[3 * v + 1], z, places=5)
                self.assertAlmostEqual(stored[3 * v + 2], -y, places=5)


if __name__ == "__main__":
    unittest.main()

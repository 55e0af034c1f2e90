# The add-on's logic that needs no Blender: writing the point cache and the
# topology the program reads, building its command line, following its
# progress lines, reading its report and the skin weights of the rig it
# writes, and finding the program. Plain Python 3 (no bpy, no numpy), so that
# it is unit-tested without Blender (tests/blender/core_test.py).

import json
import os
import re
import shutil
import struct
import subprocess
import sys
import threading
from array import array

# ---------------------------------------------------------------------------
# Point cache and topology


PC2_MAGIC = b"POINTCACHE2\0"


class Pc2Writer:
    """Writes a PC2 point cache frame by frame, so that no more than one
    frame is held in memory: the header (vertex and frame counts) first,
    then each frame's 3 * vertex-count float32 coordinates (x, y, z per
    vertex), little-endian."""

    def __init__(self, path, vertex_count, frame_count, start_frame=0.0, sample_rate=1.0):
        if vertex_count <= 0 or frame_count <= 0:
            raise ValueError("a point cache needs vertices and frames")
        self.path = path
        self.vertex_count = int(vertex_count)
        self.frame_count = int(frame_count)
        self.written = 0
        self._out = open(path, "wb")
        self._out.write(PC2_MAGIC)
        self._out.write(struct.pack("<iiffi", 1, self.vertex_count, float(start_frame), float(sample_rate),
                                    self.frame_count))

    def write_frame(self, frame):
        """One frame: an array('f'), a float32 numpy array or any sequence of
        numbers, flat."""
        if self.written >= self.frame_count:
            raise ValueError("more frames than the %d announced" % self.frame_count)
        if len(frame) != 3 * self.vertex_count:
            raise ValueError("a frame of %d coordinates for %d vertices" % (len(frame), self.vertex_count))
        if hasattr(frame, "dtype"):  # numpy
            self._out.write(frame.astype("<f4", copy=False).tobytes())
        else:
            values = frame if isinstance(frame, array) and frame.typecode == "f" else array("f", frame)
            if sys.byteorder != "little":
                values = array("f", values)
                values.byteswap()
            values.tofile(self._out)
        self.written += 1

    def close(self):
        self._out.close()
        if self.written != self.frame_count:
            raise ValueError("%d frames written of the %d announced" % (self.written, self.frame_count))

    def abandon(self):
        """Closes the file without checking it (the caller removes it)."""
        self._out.close()


def write_pc2(path, frames, start_frame=0.0, sample_rate=1.0):
    """Writes a whole PC2 point cache: `frames` is a sequence of frames, each
    a flat sequence of 3 * vertex-count coordinates."""
    frames = list(frames)
    if not frames or not len(frames[0]) or len(frames[0]) % 3:
        raise ValueError("a point cache needs frames of 3 coordinates per vertex")
    writer = Pc2Writer(path, len(frames[0]) // 3, len(frames), start_frame, sample_rate)
    try:
        for frame in frames:
            writer.write_frame(frame)
    except BaseException:
        writer.abandon()
        raise
    writer.close()


def read_pc2(path):
    """Reads a PC2 point cache: (start_frame, sample_rate, frames), each frame
    an array('f') of 3 * vertex-count coordinates."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 32 or data[:12] != PC2_MAGIC:
        raise ValueError("%s is not a PC2 file" % path)
    version, points, start, rate, samples = struct.unpack_from("<iiffi", data, 12)
    if version != 1:
        raise ValueError("unsupported PC2 version %d" % version)
    frames = []
    offset = 32
    for _ in range(samples):
        values = array("f")
        values.frombytes(data[offset:offset + 12 * points])
        if sys.byteorder != "little":
            values.byteswap()
        frames.append(values)
        offset += 12 * points
    return start, rate, frames


def write_obj(path, positions, triangles, uvs=None, uv_triangles=None):
    """Writes the topology OBJ the program reads beside a point cache:
    `positions` flat (3 per vertex), `triangles` as (a, b, c) 0-based vertex
    indices; optional `uvs` flat (2 per uv) with `uv_triangles` giving each
    triangle corner's uv index. The program keeps one uv per vertex (the first
    corner's), which is enough for the rig file: the add-on keeps the original
    mesh's own uv layers on the new mesh."""
    with open(path, "w", encoding="ascii", newline="\n") as out:
        out.write("# vantrel Blender add-on: topology of a point cache\n")
        lines = []
        for i in range(0, len(positions), 3):
            lines.append("v %.9g %.9g %.9g\n" % (positions[i], positions[i + 1], positions[i + 2]))
        out.writelines(lines)
        lines = []
        with_uvs = uvs is not None and uv_triangles is not None
        if with_uvs:
            for i in range(0, len(uvs), 2):
                lines.append("vt %.9g %.9g\n" % (uvs[i], uvs[i + 1]))
            for (a, b, c), (ta, tb, tc) in zip(triangles, uv_triangles):
                lines.append("f %d/%d %d/%d %d/%d\n" % (a + 1, ta + 1, b + 1, tb + 1, c + 1, tc + 1))
        else:
            for a, b, c in triangles:
                lines.append("f %d %d %d\n" % (a + 1, b + 1, c + 1))
        out.writelines(lines)


# ---------------------------------------------------------------------------
# Frames


def sampled_frames(first, last, step):
    """The scene frames to sample: first, first + step, ... up to last."""
    if step < 1:
        raise ValueError("the frame step must be at least 1, not %d" % step)
    if last < first:
        raise ValueError("the frame range %d to %d is empty" % (first, last))
    return list(range(first, last + 1, step))


def rest_index(frames, rest_frame):
    """The index in `frames` of the scene frame `rest_frame`, or a ValueError
    saying why it cannot be the rest."""
    try:
        return frames.index(rest_frame)
    except ValueError:
        if len(frames) > 1 and frames[1] - frames[0] > 1:
            raise ValueError("rest frame %d is not one of the sampled frames (%d to %d, every %d)"
                             % (rest_frame, frames[0], frames[-1], frames[1] - frames[0])) from None
        raise ValueError("rest frame %d is outside the frame range %d to %d"
                         % (rest_frame, frames[0], frames[-1])) from None


# ---------------------------------------------------------------------------
# The program


PROGRAM_NAMES = ("vantrel.exe", "vantrel") if os.name == "nt" else ("vantrel",)


def find_program(configured, addon_dir):
    """The vantrel program to run: `configured` when it is not empty (a file,
    or a name looked up on PATH), else a program beside the add-on (its
    folder or its bin/), else one on PATH. Returns (path, None) or
    (None, message)."""
    if configured:
        path = os.path.expanduser(configured)
        if os.path.isdir(path):
            for name in PROGRAM_NAMES:
                candidate = os.path.join(path, name)
                if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
                    return candidate, None
            return None, "no vantrel program in the folder %s (set in the add-on's preferences)" % path
        if os.path.isfile(path):
            if not os.access(path, os.X_OK):
                return None, "the vantrel program %s cannot be run (not executable)" % path
            return path, None
        if os.sep not in configured and (os.altsep is None or os.altsep not in configured):
            found = shutil.which(configured)
            if found:
                return found, None
        return None, "the vantrel program %s was not found (set in the add-on's preferences)" % configured
    for folder in (addon_dir, os.path.join(addon_dir, "bin")):
        for name in PROGRAM_NAMES:
            candidate = os.path.join(folder, name)
            if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
                return candidate, None
    found = shutil.which("vantrel")
    if found:
        return found, None
    return None, ("the vantrel program was not found beside the add-on or on PATH; "
                  "set its path in the add-on's preferences")


def build_command(program, cache_path, topology_path, output_path, report_path, settings):
    """The program's command line. `settings` is a dict with: joints,
    influences, iterations, affine (bool), rest_index (0-based index into the
    cache's frames), fps (frames per second of the cache's frames as the rig
    file's times should count them), and optionally threads and
    extra_arguments (a list of further options).

    The cache is written in Blender's Z-up axes: the program turns it to
    glTF's Y-up (--up z) and Blender's glTF importer turns it back, so the rig
    lands where the mesh was.

    Bind pose (an option the program is gaining): once the program takes an
    option that binds to the topology file's positions instead of a cached
    frame, pass it here from settings["bind_pose"] (the add-on then writes
    the undeformed mesh as the OBJ's positions; see the operator's
    _topology_positions)."""
    command = [program, "decompose", cache_path, "--topology", topology_path, "-o", output_path,
               "--report", report_path,
               "-b", str(int(settings["joints"])),
               "-k", str(int(settings["influences"])),
               "-n", str(int(settings["iterations"])),
               "--rest-frame", str(int(settings.get("rest_index", 0))),
               "--fps", _number(settings.get("fps", 24.0)),
               "--up", "z"]
    if settings.get("affine"):
        command.append("--affine")
    if settings.get("threads"):
        command += ["-j", str(int(settings["threads"]))]
    bind_pose = settings.get("bind_pose")
    if bind_pose:
        # The bind-pose option's arguments, as the program spells them.
        command += list(bind_pose) if isinstance(bind_pose, (list, tuple)) else [str(bind_pose)]
    command += list(settings.get("extra_arguments") or [])
    return command


def _number(value):
    text = "%.9g" % float(value)
    return text


# ---------------------------------------------------------------------------
# Progress


_ITERATION = re.compile(r"^run (\d+) \(([^)]*)\), iteration (\d+)/(\d+)(?:: error (\S+))?")
_SECONDS = re.compile(r"\s*\((\d+) s\)$")


def expected_iterations(iterations, extra_arguments=()):
    """About how many iterations the program runs in all: the iteration
    limit, and its --search budget (2 solves' worth unless the extra
    arguments say otherwise) beyond it."""
    search = 2.0
    arguments = list(extra_arguments)
    for i, argument in enumerate(arguments):
        value = None
        if argument == "--search" and i + 1 < len(arguments):
            value = arguments[i + 1]
        elif argument.startswith("--search="):
            value = argument[len("--search="):]
        if value is not None:
            try:
                search = max(0.0, float(value))
            except ValueError:
                pass
    return max(1, int(round(iterations * (1.0 + search))))


class ProgressTracker:
    """Follows the program's progress lines (standard error, plain lines when
    it is not a terminal): "reading F ...", "placing N joints ...", "building
    the scene ...", "run R (purpose), iteration i/n: error e", "writing F
    ...", "note: ...", and the same lines with " (S s)" while a long step
    goes on. Keeps a fraction that only grows, a status text, the notes and
    the other lines (errors).

    How many runs the program makes depends on its search budget; the
    fraction counts iterations against `expected_iterations` (the iteration
    limit and the default search budget of two solves' worth), and never
    reaches the end before the program writes the rig."""

    # Fractions of the whole at which the stages begin.
    READING = 0.02
    PLACING = 0.05
    BUILDING = 0.10
    SOLVING = 0.12
    WRITING = 0.95

    def __init__(self, expected_iterations=60):
        self.expected_iterations = max(1, int(expected_iterations))
        self.fraction = 0.0
        self.status = "starting"
        self.iterations = 0
        self.last_error = None
        self.notes = []
        self.other_lines = []
        self._last_iteration = None

    def _advance(self, fraction):
        self.fraction = max(self.fraction, min(1.0, fraction))

    def feed(self, line):
        """Takes one line; returns True when it was a progress line."""
        line = line.rstrip("\r\n")
        if not line.strip():
            return False
        text = _SECONDS.sub("", line)
        if text.startswith("note: "):
            self.notes.append(text[len("note: "):])
            return True
        match = _ITERATION.match(text)
        if match:
            key = (int(match.group(1)), int(match.group(3)))
            if match.group(5) is not None and key != self._last_iteration:
                self._last_iteration = key
                self.iterations += 1
                try:
                    self.last_error = float(match.group(5))
                except ValueError:
                    pass
            done = min(1.0, self.iterations / self.expected_iterations)
            self._advance(self.SOLVING + (self.WRITING - self.SOLVING) * done)
            self.status = "run %s (%s), iteration %s/%s" % match.group(1, 2, 3, 4)
            if self.last_error is not None:
                self.status += ", error %.4g" % self.last_error
            return True
        if text.endswith(" ..."):
            stage = text[:-4]
            if stage.startswith("reading "):
                self._advance(self.READING)
                self.status = "reading the cache"
            elif stage.startswith("placing "):
                self._advance(self.PLACING)
                self.status = stage
            elif stage.startswith("building the scene"):
                self._advance(self.BUILDING)
                self.status = stage
            elif stage.startswith("writing "):
                self._advance(self.WRITING)
                self.status = "writing the rig"
            else:
                self.status = stage
            seconds = _SECONDS.search(line)
            if seconds:
                self.status += " (%s s)" % seconds.group(1)
            return True
        self.other_lines.append(line)
        return False


def failure_message(stderr_lines, returncode):
    """What to tell the user when the program failed: its last meaningful
    line of standard error (without the "vantrel: " prefix and CLI11's "Run
    with --help" hint), or the exit code."""
    for line in reversed(stderr_lines):
        text = line.strip()
        if not text or text.startswith("Run with --help"):
            continue
        if text.startswith("vantrel: "):
            text = text[len("vantrel: "):]
        return text
    if returncode is not None and returncode < 0:
        return "the program was stopped by signal %d" % -returncode
    return "the program failed with exit code %s and no message" % returncode


class ProgramRun:
    """The program running in the background: standard error read line by
    line on a thread of its own (so that neither pipe can fill and block
    it), standard output into a file."""

    def __init__(self, command, stdout_path, cwd=None):
        self.command = list(command)
        self.lines = []
        self._lock = threading.Lock()
        self._pending = []
        self._stdout = open(stdout_path, "wb")
        creationflags = 0
        if os.name == "nt":
            creationflags = getattr(subprocess, "CREATE_NO_WINDOW", 0)
        try:
            self.process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL, stdout=self._stdout,
                                            stderr=subprocess.PIPE, cwd=cwd, creationflags=creationflags)
        except BaseException:
            self._stdout.close()
            raise
        self._reader = threading.Thread(target=self._read, name="vantrel-stderr", daemon=True)
        self._reader.start()

    def _read(self):
        stream = self.process.stderr
        for raw in iter(stream.readline, b""):
            text = raw.decode("utf-8", "replace").rstrip("\r\n")
            # A terminal's in-place updates come as "\r" separated pieces.
            for piece in text.split("\r"):
                piece = re.sub(r"\x1b\[[0-9;]*[A-Za-z]", "", piece)
                if piece.strip():
                    with self._lock:
                        self._pending.append(piece)
        stream.close()

    def new_lines(self):
        """Lines of standard error since the last call."""
        with self._lock:
            pending, self._pending = self._pending, []
        self.lines.extend(pending)
        return pending

    def poll(self):
        """The exit code once the program has ended and its standard error
        has been read to the end, else None."""
        code = self.process.poll()
        if code is None:
            return None
        self._reader.join(timeout=5)
        return code

    def stop(self):
        """Ends the program (terminate, then kill) and waits for it."""
        if self.process.poll() is None:
            try:
                self.process.terminate()
                self.process.wait(timeout=3)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            except OSError:
                pass
        self._reader.join(timeout=5)
        self.close()

    def close(self):
        if not self._stdout.closed:
            self._stdout.close()


# ---------------------------------------------------------------------------
# Results


def read_report(path):
    """The figures the add-on shows from the program's JSON report: a dict
    with e_rms, max_distance, rms_distance, rest_diagonal, joints,
    influences, iterations, worst_frame (an index into the cache's frames)
    and notes."""
    with open(path, encoding="utf-8") as f:
        report = json.load(f)
    sizes = report.get("sizes", {})
    settings = report.get("settings", {})
    worst = report.get("maxDistanceAt", {})
    return {
        "e_rms": float(report["eRms"]),
        "max_distance": float(report["maxDistance"]),
        "rms_distance": float(report.get("rmsDistance", float("nan"))),
        "rest_diagonal": float(report.get("restDiagonal", float("nan"))),
        "joints": int(sizes.get("joints", settings.get("bones", 0))),
        "influences": int(settings.get("influences", 0)),
        "iterations": int(report.get("iterationsDone", 0)),
        "worst_frame": int(worst.get("frame", -1)),
        "notes": list(report.get("notes", [])),
    }


def summary(figures):
    """One line for Blender's info area."""
    return ("E_RMS %.4g, max distance %.4g (model size %.4g): %d joints, %d influences, %d iterations"
            % (figures["e_rms"], figures["max_distance"], figures["rest_diagonal"], figures["joints"],
               figures["influences"], figures["iterations"]))


_COMPONENTS = {"SCALAR": 1, "VEC2": 2, "VEC3": 3, "VEC4": 4, "MAT4": 16}
_TYPES = {5120: ("b", 1), 5121: ("B", 1), 5122: ("h", 2), 5123: ("H", 2), 5125: ("I", 4), 5126: ("f", 4)}
_NORMALISED = {5120: 127.0, 5121: 255.0, 5122: 32767.0, 5123: 65535.0}


def read_glb(path):
    """The JSON and binary chunk of a .glb file."""
    with open(path, "rb") as f:
        data = f.read()
    magic, version, length = struct.unpack_from("<4sII", data, 0)
    if magic != b"glTF" or version != 2:
        raise ValueError("%s is not a binary glTF 2.0 file" % path)
    offset = 12
    document, binary = None, b""
    while offset + 8 <= min(length, len(data)):
        chunk_length, chunk_type = struct.unpack_from("<II", data, offset)
        chunk = data[offset + 8:offset + 8 + chunk_length]
        if chunk_type == 0x4E4F534A:
            document = json.loads(chunk.decode("utf-8"))
        elif chunk_type == 0x004E4942:
            binary = chunk
        offset += 8 + chunk_length
    if document is None:
        raise ValueError("%s has no JSON chunk" % path)
    return document, binary


def _accessor(document, binary, index):
    accessor = document["accessors"][index]
    components = _COMPONENTS[accessor["type"]]
    code, size = _TYPES[accessor["componentType"]]
    view = document["bufferViews"][accessor["bufferView"]]
    if view.get("buffer", 0) != 0:
        raise ValueError("the rig file's data is not in its binary chunk")
    start = view.get("byteOffset", 0) + accessor.get("byteOffset", 0)
    stride = view.get("byteStride", components * size)
    count = accessor["count"]
    values = []
    packed = struct.Struct("<" + code * components)
    for i in range(count):
        values.append(packed.unpack_from(binary, start + i * stride))
    if accessor.get("normalized") and code != "f":
        scale = _NORMALISED[accessor["componentType"]]
        values = [tuple(max(v / scale, -1.0) for v in item) for item in values]
    return values


def read_skin(path):
    """The skin of the rig file the program writes: (joint_count, weights)
    with weights[v] a list of (joint index into the skin's joints, weight)
    for every vertex v of the mesh, in the file's vertex order (the cache's
    order: the program neither splits nor drops vertices)."""
    document, binary = read_glb(path)
    skins = document.get("skins") or []
    meshes = document.get("meshes") or []
    if not skins or not meshes:
        raise ValueError("the rig file has no skinned mesh")
    primitives = meshes[0]["primitives"]
    attributes = primitives[0]["attributes"]
    for other in primitives[1:]:
        if other["attributes"].get("POSITION") != attributes.get("POSITION"):
            raise ValueError("the rig file's mesh has primitives with vertices of their own")
    count = document["accessors"][attributes["POSITION"]]["count"]
    weights = [[] for _ in range(count)]
    n = 0
    while "JOINTS_%d" % n in attributes:
        joints = _accessor(document, binary, attributes["JOINTS_%d" % n])
        amounts = _accessor(document, binary, attributes["WEIGHTS_%d" % n])
        for v in range(count):
            for j, w in zip(joints[v], amounts[v]):
                if w > 0.0:
                    weights[v].append((j, w))
        n += 1
    if n == 0:
        raise ValueError("the rig file's mesh has no joint weights")
    return len(skins[0]["joints"]), weights


def rest_positions(path):
    """The rest positions of the rig file's mesh, flat (3 per vertex), in
    glTF's axes."""
    document, binary = read_glb(path)
    attributes = document["meshes"][0]["primitives"][0]["attributes"]
    flat = []
    for p in _accessor(document, binary, attributes["POSITION"]):
        flat.extend(p)
    return flat

#!/usr/bin/python3
"""Skeleton quality on motion-capture characters whose truth is known: runs
`vantrel decompose` with -b equal to the true bone count (rigid joints, 4
influences) as a tree and as a flat rig, and compares the exported tree with
the character's articulations. Run on demand, not in CI.

Figures (the goals in brackets):
  - parent links: each solved joint stands for the true joint it shares the
    most skin weight with; the true tree contracted onto the joints that some
    solved joint stands for gives the true parent-child pairs (joints that
    never turn against their parent count as one with it). "found" is the
    share of those pairs joined by a solved parent link (>= 90 %); "plausible"
    the share of solved links that join a true pair or two joints standing
    for one true joint (a bone split in two);
  - pivots: for every solved link that joins a true pair, the distance from
    the solved joint's pivot to the true articulation: the points the two
    true joints carry alike over the frames (the joint between them; along
    the axis of a hinge, any point on it), in % of the model's size (rest
    bounding-box diagonal) (<= 2 %). Pairs that never turn against each
    other (CMU's hip joints) have no articulation to find and are counted
    apart;
  - bone-length variation: per non-root joint, the report's
    boneLengthVariation in % of the model's size (< 1 %); minor joints (below
    5 % of the mean weight, leaves of the tree) are listed apart;
  - E_RMS of the tree rig and the flat rig (equal within float32 rounding).

    /usr/bin/python3 bench/skeleton_quality.py --vantrel build/cli/vantrel \\
        [--datasets bench/generated] [--only mocap-0103-lbs ...] [--json out.json] [--keep FOLDER]
"""
import argparse
import json
import os
import struct
import subprocess
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))


def read_glb(path):
    """The JSON chunk and the binary chunk of a .glb file."""
    with open(path, "rb") as f:
        data = f.read()
    magic, _, _ = struct.unpack_from("<III", data, 0)
    assert magic == 0x46546C67, path + ": not a .glb"
    length, kind = struct.unpack_from("<II", data, 12)
    document = json.loads(data[20:20 + length])
    offset = 20 + length
    blob = b""
    if offset < len(data):
        blob_length, _ = struct.unpack_from("<II", data, offset)
        blob = data[offset + 8:offset + 8 + blob_length]
    return document, blob


def accessor(document, blob, index):
    a = document["accessors"][index]
    view = document["bufferViews"][a["bufferView"]]
    dtype = {5126: np.float32, 5123: np.uint16, 5125: np.uint32, 5121: np.uint8}[a["componentType"]]
    width = {"SCALAR": 1, "VEC2": 2, "VEC3": 3, "VEC4": 4, "MAT4": 16}[a["type"]]
    start = view.get("byteOffset", 0) + a.get("byteOffset", 0)
    values = np.frombuffer(blob, dtype=dtype, count=a["count"] * width, offset=start)
    return values.reshape(a["count"], width).astype(float)


def solved_weights(glb):
    """Per vertex and joint the exported weight (V x J)."""
    document, blob = read_glb(glb)
    primitive = document["meshes"][0]["primitives"][0]["attributes"]
    joint_count = len(document["skins"][0]["joints"])
    count = accessor(document, blob, primitive["POSITION"]).shape[0]
    weights = np.zeros((count, joint_count))
    for set_index in range(2):
        if "JOINTS_%d" % set_index not in primitive:
            break
        joints = accessor(document, blob, primitive["JOINTS_%d" % set_index]).astype(int)
        values = accessor(document, blob, primitive["WEIGHTS_%d" % set_index])
        for k in range(4):
            np.add.at(weights, (np.arange(count), joints[:, k]), values[:, k])
    return weights


def true_weights(truth):
    count = truth["vertex_count"]
    weights = np.zeros((count, len(truth["joint_names"])))
    for v, (joints, values) in enumerate(zip(truth["vertex_joints"], truth["vertex_weights"])):
        for j, w in zip(joints, values):
            weights[v, j] += w
    return weights


def true_motion(truth):
    """Per frame and true joint the column-vector matrix carrying a point of
    the first cached frame (the rest) to that frame: W_f W_0^-1."""
    world = np.asarray(truth["world_matrices"], dtype=float).reshape(len(truth["world_matrices"]), -1, 4, 4)
    if np.abs(world[..., :3, 3]).sum() < np.abs(world[..., 3, :3]).sum():
        world = np.swapaxes(world, -1, -2)
    return world @ np.linalg.inv(world[0])[None]


def true_articulation_distance(motion, a, b, x):
    """How far the rest-space point x is from the points that true joints a
    and b carry alike (least squares over the frames; along directions their
    relative motion leaves open, any point will do). None when a and b never
    turn against each other, which leaves their articulation undetermined."""
    normal, right = np.zeros((3, 3)), np.zeros(3)
    for frame in motion:
        d = frame[a, :3, :3] - frame[b, :3, :3]
        e = frame[a, :3, 3] - frame[b, :3, 3]
        normal += d.T @ d
        right -= d.T @ e
    values, vectors = np.linalg.eigh(normal)
    if values[-1] < 1e-8 * len(motion):
        return None
    determined = values > 1e-3 * values[-1]
    solution = vectors[:, determined] @ ((vectors[:, determined].T @ right) / values[determined])
    offset = vectors[:, determined].T @ (np.asarray(x) - solution)
    return float(np.linalg.norm(offset))


def rigid_groups(truth, motion):
    """Each true joint's group: joints that never turn against their parent
    (CMU's hip and shoulder joints) move as one with it and stand for the
    same body part; a group is named by its topmost joint."""
    group = []
    for t, p in enumerate(truth["parents"]):
        turn = 0.0
        if p >= 0:
            relative = np.linalg.inv(motion[:, p, :3, :3]) @ motion[:, t, :3, :3]
            turn = float(np.abs(relative - np.eye(3)).max())
        group.append(group[p] if p >= 0 and turn < 1e-4 else t)
    return group


def contracted_parents(parents, kept):
    """The true tree contracted onto the joints in `kept`: each one's nearest
    kept ancestor (-1 for none)."""
    out = {}
    for t in kept:
        p = parents[t]
        while p >= 0 and p not in kept:
            p = parents[p]
        out[t] = p
    return out


def decompose(vantrel, entry, datasets, bones, skeleton, folder):
    args = [a if a.startswith("-") else os.path.join(datasets, a) for a in entry["decompose_args"]]
    out = os.path.join(folder, "%s-%s.glb" % (entry["name"], skeleton))
    report = out[:-4] + ".json"
    done = subprocess.run([vantrel, "decompose", *args, "-o", out, "-b", str(bones), "-k", "4", "-q",
                           "--skeleton", skeleton, "--report", report], capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(done.stderr.strip() or done.stdout.strip())
    with open(report) as f:
        return out, json.load(f)


def measure(entry, datasets, vantrel, folder):
    with open(os.path.join(datasets, entry["truth"])) as f:
        truth = json.load(f)
    bones = entry["true_bones"]
    glb, report = decompose(vantrel, entry, datasets, bones, "tree", folder)
    _, flat = decompose(vantrel, entry, datasets, bones, "flat", folder)
    size = report["restDiagonal"]
    joints = report["skeleton"]["joints"]
    motion = true_motion(truth)
    group = rigid_groups(truth, motion)
    weights = solved_weights(glb)
    overlap = weights.T @ true_weights(truth)  # solved x true
    stands_for = np.array([group[t] for t in overlap.argmax(axis=1)])
    kept = set(int(t) for t in stands_for)
    true_parent = contracted_parents(truth["parents"], kept)
    true_pairs = {frozenset((t, p)) for t, p in true_parent.items() if p >= 0}
    # Joints of little weight (below 5 % of the mean, as the program's
    # kMinorWeight) are leaves the solve fits loosely: counted apart.
    minor = weights.sum(axis=0) < 0.05 * weights.sum() / weights.shape[1]

    found, plausible, links, pivot_errors, undetermined = set(), 0, 0, [], 0
    for s, joint in enumerate(joints):
        parent = joint["parent"]
        if parent < 0:
            continue
        links += 1
        a, b = int(stands_for[s]), int(stands_for[parent])
        pair = frozenset((a, b))
        if a == b:
            plausible += 1
        elif pair in true_pairs:
            plausible += 1
            found.add(pair)
            apart = true_articulation_distance(motion, a, b, joint["pivot"])
            if apart is None:
                undetermined += 1
            else:
                pivot_errors.append(100.0 * apart / size)
    variation = [100.0 * j["boneLengthVariation"] / size for s, j in enumerate(joints)
                 if j["parent"] >= 0 and not minor[s]]
    minor_variation = [100.0 * j["boneLengthVariation"] / size for s, j in enumerate(joints)
                       if j["parent"] >= 0 and minor[s]]
    return {
        "input": entry["name"], "joints": bones, "root": joints[report["skeleton"]["root"]]["name"],
        "rootStandsFor": truth["joint_names"][int(stands_for[report["skeleton"]["root"]])],
        "trueJointsStoodFor": len(kept), "truePairs": len(true_pairs),
        "pairsFound": len(found), "foundPercent": 100.0 * len(found) / max(len(true_pairs), 1),
        "plausiblePercent": 100.0 * plausible / max(links, 1),
        "pivotErrorPercent": {"median": float(np.median(pivot_errors)) if pivot_errors else None,
                              "max": float(np.max(pivot_errors)) if pivot_errors else None,
                              "within2": int(sum(e <= 2.0 for e in pivot_errors)), "of": len(pivot_errors),
                              "undetermined": undetermined},
        "boneLengthVariationPercent": {"median": float(np.median(variation)), "max": float(np.max(variation)),
                                       "below1": int(sum(v < 1.0 for v in variation)), "of": len(variation),
                                       "minorJoints": minor_variation},
        "eRmsTree": report["eRms"], "eRmsFlat": flat["eRms"],
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--vantrel", default=os.path.join(HERE, "..", "build", "cli", "vantrel"))
    parser.add_argument("--datasets", default=os.path.join(HERE, "generated"))
    parser.add_argument("--only", nargs="*", default=["mocap-0103-lbs", "mocap-0103-dqs"])
    parser.add_argument("--json")
    parser.add_argument("--keep", help="a folder to keep the rigs and reports in")
    args = parser.parse_args()
    with open(os.path.join(args.datasets, "manifest.json")) as f:
        entries = [e for e in json.load(f)["datasets"] if e["name"] in args.only and e.get("truth")]
    if not entries:
        sys.exit("skeleton_quality: none of %s in %s (bench/data/make-datasets makes them)" % (args.only, args.datasets))
    rows = []
    with tempfile.TemporaryDirectory() as scratch:
        folder = args.keep or scratch
        if args.keep:
            os.makedirs(folder, exist_ok=True)
        for entry in entries:
            row = measure(entry, args.datasets, args.vantrel, folder)
            rows.append(row)
            p, b = row["pivotErrorPercent"], row["boneLengthVariationPercent"]
            print("%s, -b %d: root %s (%s); true pairs found %d/%d (%.0f %%), links plausible %.0f %%; "
                  "pivot error median %.2f %%, max %.2f %% (%d/%d within 2 %%, %d rigidly attached); bone-length variation median "
                  "%.2f %%, max %.2f %% (%d/%d below 1 %%; minor joints %s); E_RMS tree %.6f, flat %.6f"
                  % (row["input"], row["joints"], row["root"], row["rootStandsFor"], row["pairsFound"],
                     row["truePairs"], row["foundPercent"], row["plausiblePercent"], p["median"] or 0,
                     p["max"] or 0, p["within2"], p["of"], p["undetermined"], b["median"], b["max"], b["below1"], b["of"],
                     ", ".join("%.2f %%" % v for v in b["minorJoints"]) or "none", row["eRmsTree"], row["eRmsFlat"]), flush=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Fit quality on real animations: runs `vantrel decompose` on every dataset
at 10, 20 and 30 joints (4 influences, other settings default) and prints a
table of E_RMS, largest distance, joints with negligible weight, iterations
run and seconds per stage; writes the same as JSON.

Inputs: the MD2 characters of Debian's assimp-testmodels and the datasets of
bench/data/make-datasets (its manifest.json). With --baseline, the
straightforward decomposition of bench/baseline runs beside it (PC2 and MD2
inputs) for comparison. For characters whose truth is known, the table also
gives the error of the true joints and weights re-based on the first frame.

    python3 bench/fit_quality.py --vantrel build/cli/vantrel \
        [--datasets bench/generated] [--joints 10 20 30] [--only NAME...] \
        [--baseline] [--json out/fit_quality.json]
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MD2_DIR = "/usr/share/assimp/models/MD2"


def inputs(datasets_dir, only):
    found = []
    for name in ("sydney", "faerie"):
        path = os.path.join(MD2_DIR, name + ".md2")
        if os.path.exists(path):
            found.append({"name": name + ".md2", "kind": "md2-character", "args": [path], "cache": path})
        else:
            print(f"fit_quality: {path} missing (apt-get install assimp-testmodels)", file=sys.stderr)
    manifest = os.path.join(datasets_dir, "manifest.json")
    if os.path.exists(manifest):
        with open(manifest) as f:
            for entry in json.load(f)["datasets"]:
                if "production" in entry["name"]:
                    continue  # the speed benchmark's input
                args = [a if a.startswith("-") else os.path.join(datasets_dir, a) for a in entry["decompose_args"]]
                truth = entry.get("truth")
                found.append({"name": entry["name"], "kind": entry["kind"], "args": args,
                              "cache": args[0], "truth": os.path.join(datasets_dir, truth) if truth else None})
    else:
        print(f"fit_quality: no {manifest}; run bench/data/make-datasets for the generated inputs", file=sys.stderr)
    return [i for i in found if not only or i["name"] in only]


def decompose(vantrel, item, joints):
    with tempfile.TemporaryDirectory() as tmp:
        report_path = os.path.join(tmp, "report.json")
        command = [vantrel, "decompose", *item["args"], "-o", os.path.join(tmp, "rig.glb"),
                   "-b", str(joints), "-k", "4", "-q", "--report", report_path]
        start = time.monotonic()
        done = subprocess.run(command, capture_output=True, text=True)
        wall = time.monotonic() - start
        if done.returncode != 0:
            return {"failed": done.stderr.strip() or done.stdout.strip()}
        with open(report_path) as f:
            report = json.load(f)
    return {"eRms": report["eRms"], "maxDistance": report["maxDistance"],
            "negligibleJoints": report.get("negligibleJoints"), "iterations": report["iterationsDone"],
            "seconds": report["seconds"], "wallSeconds": wall}


def baseline(item, joints):
    script = os.path.join(HERE, "baseline", "decompose.py")
    if not os.path.exists(script) or not item["cache"].endswith((".pc2", ".md2")):
        return None
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "baseline.json")
        done = subprocess.run(["/usr/bin/python3", script, item["cache"], "-b", str(joints), "-k", "4",
                               "--json", out], capture_output=True, text=True)
        if done.returncode != 0:
            return {"failed": done.stderr.strip()[-300:]}
        with open(out) as f:
            result = json.load(f)
    return {"eRms": result.get("mean_E_RMS", result.get("E_RMS"))}


def true_joint_error(item):
    """E_RMS of the true joints and weights, re-based on the first frame."""
    if not item.get("truth"):
        return None
    try:
        import numpy as np
    except ImportError:
        return None
    with open(item["truth"]) as f:
        truth = json.load(f)
    from_cache = read_pc2(item["cache"], np)
    world = np.asarray(truth["world_matrices"], dtype=float).reshape(len(truth["world_matrices"]), -1, 4, 4)
    # Row-major with the translation in the last column: transpose to row vectors.
    if np.abs(world[..., :3, 3]).sum() > np.abs(world[..., 3, :3]).sum():
        world = np.swapaxes(world, -1, -2)
    rest = from_cache[0]
    skinned = np.zeros_like(from_cache[1:])
    inverse_rest = np.linalg.inv(world[0])
    for v, (joints, weights) in enumerate(zip(truth["vertex_joints"], truth["vertex_weights"])):
        p = np.append(rest[v], 1.0)
        for joint, w in zip(joints, weights):
            if w > 0.0:
                moved = (p @ inverse_rest[joint]) @ world[1:, joint]
                skinned[:, v, :] += w * moved[:, :3]
    diagonal = np.linalg.norm(rest.max(axis=0) - rest.min(axis=0))
    squared = ((skinned - from_cache[1:]) ** 2).sum()
    return 1000.0 * np.sqrt(squared / (3 * rest.shape[0] * (from_cache.shape[0] - 1))) / diagonal


def read_pc2(path, np):
    with open(path, "rb") as f:
        header = f.read(32)
        points = int(np.frombuffer(header[16:20], "<i4")[0])
        samples = int(np.frombuffer(header[28:32], "<i4")[0])
        data = np.frombuffer(f.read(), "<f4", count=points * samples * 3)
    return data.reshape(samples, points, 3).astype(float)


def print_markdown(rows):
    print("\n| input | joints | E_RMS | max distance | negligible joints | iterations | seconds | baseline E_RMS |")
    print("|---|---|---|---|---|---|---|---|")
    for row in rows:
        if "failed" in row:
            print(f"| {row['input']} | {row['joints']} | failed | | | | | |")
            continue
        base = (row.get("baseline") or {}).get("eRms")
        print(f"| {row['input']} | {row['joints']} | {row['eRms']:.3f} | {row['maxDistance']:.3f} | "
              f"{row['negligibleJoints']} | {row['iterations']} | {row['seconds']['total']:.2f} | "
              f"{'-' if base is None else f'{base:.3f}'} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--vantrel", default=os.path.join(HERE, "..", "build", "cli", "vantrel"))
    parser.add_argument("--datasets", default=os.path.join(HERE, "generated"))
    parser.add_argument("--joints", type=int, nargs="+", default=[10, 20, 30])
    parser.add_argument("--only", nargs="*", default=[])
    parser.add_argument("--baseline", action="store_true")
    parser.add_argument("--json")
    parser.add_argument("--markdown", action="store_true", help="also print the table as Markdown")
    args = parser.parse_args()

    rows = []
    print(f"{'input':<22}{'joints':>7}{'E_RMS':>9}{'max dist':>10}{'dead':>6}{'iters':>7}"
          f"{'place s':>9}{'solve s':>9}{'total s':>9}{'baseline':>10}{'true':>8}")
    for item in inputs(args.datasets, args.only):
        truth_error = true_joint_error(item)
        for joints in args.joints:
            row = {"input": item["name"], "kind": item["kind"], "joints": joints, "trueJointsERms": truth_error}
            row.update(decompose(args.vantrel, item, joints))
            if args.baseline:
                row["baseline"] = baseline(item, joints)
            rows.append(row)
            if "failed" in row:
                print(f"{item['name']:<22}{joints:>7}  failed: {row['failed']}")
                continue
            base = row.get("baseline") or {}
            base_text = f"{base['eRms']:.3f}" if base.get("eRms") is not None else "-"
            true_text = f"{truth_error:.3f}" if truth_error is not None else "-"
            s = row["seconds"]
            print(f"{item['name']:<22}{joints:>7}{row['eRms']:>9.3f}{row['maxDistance']:>10.3f}"
                  f"{row['negligibleJoints']:>6}{row['iterations']:>7}{s.get('jointPlacement', 0):>9.2f}"
                  f"{s['solve']:>9.2f}{s['total']:>9.2f}{base_text:>10}{true_text:>8}", flush=True)
    if args.markdown:
        print_markdown(rows)
    if args.json:
        os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)


if __name__ == "__main__":
    main()

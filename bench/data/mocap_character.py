#!/usr/bin/env python3
"""A character bound to BVH motion capture: parse the BVH, build a body of
capsules around its bone segments, weight it smoothly across each joint and
skin it with the BVH's motion (linear blend and/or dual-quaternion skinning).

Writes per skinning method NAME-lbs.pc2/.obj and NAME-dqs.pc2/.obj (the OBJ's
positions are the first cached frame), NAME.truth.json (joints, parents,
per-frame joint world matrices, the true weights) and manifest entries.
Everything is deterministic: no random numbers are used."""

import argparse
import math
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import meshio  # noqa: E402


# ---------------------------------------------------------------- BVH reading

class Skeleton:
    def __init__(self):
        self.names, self.parents, self.offsets, self.channels = [], [], [], []
        self.end_sites = []  # (joint index, offset)
        self.frame_time = 0.0
        self.motion = None  # (N, channel count)


def read_bvh(path):
    tokens = open(path).read().split()
    sk = Skeleton()
    pos = 0
    stack = []

    def take():
        nonlocal pos
        pos += 1
        return tokens[pos - 1]

    if take() != "HIERARCHY":
        raise ValueError(path + ": no HIERARCHY")
    while True:
        t = take()
        if t in ("ROOT", "JOINT"):
            name = take()
            sk.names.append(name)
            sk.parents.append(stack[-1] if stack else -1)
            sk.offsets.append(None)
            sk.channels.append([])
            stack.append(len(sk.names) - 1)
            assert take() == "{"
        elif t == "End":
            take()  # "Site"
            assert take() == "{"
            assert take() == "OFFSET"
            sk.end_sites.append((stack[-1], [float(take()) for _ in range(3)]))
            assert take() == "}"
        elif t == "OFFSET":
            sk.offsets[stack[-1]] = [float(take()) for _ in range(3)]
        elif t == "CHANNELS":
            sk.channels[stack[-1]] = [take() for _ in range(int(take()))]
        elif t == "}":
            stack.pop()
        elif t == "MOTION":
            break
        else:
            raise ValueError("%s: unexpected token %r" % (path, t))
    assert take() == "Frames:"
    count = int(take())
    assert take() == "Frame" and take() == "Time:"
    sk.frame_time = float(take())
    width = sum(len(c) for c in sk.channels)
    values = np.array(tokens[pos:pos + count * width], dtype=np.float64)
    sk.motion = values.reshape(count, width)
    sk.offsets = np.array(sk.offsets)
    return sk


def axis_rotation(axis, degrees):
    """Rotation matrices (N, 3, 3) about a coordinate axis."""
    a = np.radians(degrees)
    c, s = np.cos(a), np.sin(a)
    m = np.zeros(a.shape + (3, 3))
    i = "XYZ".index(axis)
    j, k = (i + 1) % 3, (i + 2) % 3
    m[..., i, i] = 1
    m[..., j, j], m[..., j, k], m[..., k, j], m[..., k, k] = c, -s, s, c
    return m


def world_matrices(sk, frames):
    """Joint world matrices (F, J, 4, 4) at the given BVH frames. Rotation
    channels compose in the order listed (R = R1 R2 R3 applied to column
    vectors), the BVH convention; translation channels add to the offset."""
    motion = sk.motion[frames]
    count = len(frames)
    world = np.zeros((count, len(sk.names), 4, 4))
    column = 0
    for j, chans in enumerate(sk.channels):
        local = np.tile(np.eye(4), (count, 1, 1))
        local[:, :3, 3] = sk.offsets[j]
        rot = np.tile(np.eye(3), (count, 1, 1))
        for ch in chans:
            value = motion[:, column]
            column += 1
            if ch.endswith("position"):
                local[:, "XYZ".index(ch[0]), 3] += value
            else:
                rot = rot @ axis_rotation(ch[0], value)
        local[:, :3, :3] = rot
        p = sk.parents[j]
        world[:, j] = local if p < 0 else world[:, p] @ local
    return world


def rest_positions(sk):
    """Joint positions in the BVH's zero pose (every rotation zero), the pose
    the body is built in."""
    pos = np.zeros((len(sk.names), 3))
    for j, p in enumerate(sk.parents):
        pos[j] = sk.offsets[j] + (pos[p] if p >= 0 else 0)
    return pos


def first_animated_frame(sk):
    """Motion-capture exports often start with a reference pose (CMU: all
    rotations zero) that jumps to the take; skip it when the second frame is
    far from the first."""
    rot_cols = [c for c, ch in enumerate(ch for chans in sk.channels for ch in chans) if ch.endswith("rotation")]
    jump = np.abs(sk.motion[1, rot_cols] - sk.motion[0, rot_cols])
    jump = np.minimum(jump, 360 - jump)
    return 1 if jump.max() > 20.0 else 0


# ------------------------------------------------------------- body shaping

# Radius at the start and end of a segment (fraction of body height), a
# mid-segment bulge (muscle, calf, skull), and the depth / width ratio of the
# cross-section (torso and hands are flat).
ROLES = {
    "torso": (0.085, 0.095, 0.05, 0.62),
    "pelvis": (0.065, 0.058, 0.0, 0.8),
    "neck": (0.036, 0.028, 0.0, 1.0),
    "head": (0.046, 0.044, 0.22, 1.0),
    "clavicle": (0.034, 0.031, 0.0, 0.9),
    "upperarm": (0.030, 0.023, 0.10, 1.0),
    "forearm": (0.024, 0.017, 0.12, 1.0),
    "hand": (0.018, 0.015, 0.0, 0.45),
    "fingers": (0.015, 0.010, 0.0, 0.45),
    "thumb": (0.010, 0.008, 0.0, 1.0),
    "thigh": (0.055, 0.036, 0.10, 1.0),
    "shin": (0.035, 0.022, 0.15, 1.0),
    "foot": (0.026, 0.022, 0.0, 0.7),
    "toe": (0.020, 0.014, 0.0, 0.6),
}


def segment_role(joint, child, is_root):
    """Body part of the segment from `joint` to `child` (a joint name, or ""
    for an end site), from the names common motion-capture skeletons use."""
    p, c = joint.lower(), child.lower()
    if "head" in p:
        return "head"
    if "neck" in p:
        return "neck"
    if "toe" in p:
        return "toe"
    if "foot" in p or "ankle" in p:
        return "foot"
    if "thumb" in p:
        return "thumb"
    if "finger" in p:
        return "fingers"
    if "hand" in p or "wrist" in p:
        return "hand"
    if "forearm" in p or "elbow" in p:
        return "forearm"
    if "knee" in p:
        return "shin"
    if "upleg" in p or "thigh" in p:
        return "thigh"
    if "leg" in p:
        return "shin"
    if "collar" in p or "clavicle" in p:
        return "clavicle"
    if "shoulder" in p:
        return "clavicle" if ("arm" in c and "fore" not in c) else "upperarm"
    if "arm" in p:
        return "upperarm"
    if "hip" in p and not is_root:
        return "thigh" if ("knee" in c or ("leg" in c and "upleg" not in c)) else "pelvis"
    if is_root and ("hip" in c or "leg" in c):
        return "pelvis"
    return "torso"


class Segment:
    """A capsule from joint `owner` to a child joint or end site."""

    def __init__(self, owner, child, start, end, role, height):
        self.owner, self.child = owner, child  # child: joint index or -1
        self.start, self.end = start, end
        self.length = float(np.linalg.norm(end - start))
        self.axis = (end - start) / self.length
        r0, r1, self.bulge, self.aspect = ROLES[role]
        self.r0, self.r1 = r0 * height, r1 * height
        self.role = role
        # Width across the body: x for upright segments, z for ones along x
        # (arms and hands in the T pose), so torsos are wide and palms flat.
        ref = np.array([1.0, 0, 0]) if abs(self.axis[0]) < 0.7 else np.array([0, 0, 1.0])
        u = ref - ref.dot(self.axis) * self.axis
        self.u = u / np.linalg.norm(u)
        self.v = np.cross(self.axis, self.u)

    def radius(self, t):
        return (self.r0 + (self.r1 - self.r0) * t) * (1 + self.bulge * np.sin(np.pi * np.clip(t, 0, 1)))

    def area(self):
        r = 0.5 * (self.r0 + self.r1)
        return 2 * math.pi * r * self.length + 2 * math.pi * (self.r0 ** 2 + self.r1 ** 2)


def body_segments(sk):
    rest = rest_positions(sk)
    ends = [rest[j] + np.array(o) for j, o in sk.end_sites]
    everything = np.vstack([rest] + ends)
    height = everything[:, 1].max() - everything[:, 1].min()
    segs, seen = [], set()
    targets = [(j, c, rest[c]) for c, j in enumerate(sk.parents) if j >= 0]
    targets += [(j, -1, rest[j] + np.array(o)) for j, o in sk.end_sites]
    for j, c, end in targets:
        # Zero-length offsets (CMU's hip and finger joints) carry no surface;
        # children at one point (a chest's neck and collars) share one capsule.
        if np.linalg.norm(end - rest[j]) < 1e-3 * height:
            continue
        key = (j,) + tuple(np.round(end / height, 4))
        if key in seen:
            continue
        seen.add(key)
        role = segment_role(sk.names[j], sk.names[c] if c >= 0 else "", sk.parents[j] < 0)
        segs.append(Segment(j, c, rest[j], end, role, height))
    return segs, rest, height


def capsule(seg, spacing):
    """Vertices, triangles, uvs and uv triangles of one closed capsule, with
    about `spacing` between neighbours; also each vertex's axial coordinate
    (distance from the segment's start along its axis)."""
    r_mean = 0.5 * (seg.r0 + seg.r1)
    around = max(8, int(round(2 * math.pi * r_mean / spacing)))
    along = max(2, int(round(seg.length / spacing)))
    cap = max(2, int(round(0.5 * math.pi * r_mean / spacing)))
    theta = 2 * math.pi * np.arange(around) / around
    ring_dirs = np.cos(theta)[:, None] * seg.u + seg.aspect * np.sin(theta)[:, None] * seg.v

    rings = []  # (axial s, radius scale), pole excluded
    for k in range(1, cap + 1):  # start cap, from near the pole to the equator
        phi = 0.5 * math.pi * k / cap
        rings.append((-seg.r0 * math.cos(phi), seg.r0 * math.sin(phi)))
    for i in range(1, along):
        t = i / along
        rings.append((t * seg.length, float(seg.radius(t))))
    for k in range(cap, 0, -1):
        phi = 0.5 * math.pi * k / cap
        rings.append((seg.length + seg.r1 * math.cos(phi), seg.r1 * math.sin(phi)))

    pos = [seg.start - seg.r0 * seg.axis]
    axial = [-seg.r0]
    for s, r in rings:
        pos.extend(seg.start + s * seg.axis + r * ring_dirs)
        axial.extend([s] * around)
    pos.append(seg.end + seg.r1 * seg.axis)
    axial.append(seg.length + seg.r1)
    pos, axial = np.array(pos), np.array(axial)
    last = len(pos) - 1
    nr = len(rings)

    def ring_vertex(r, a):
        return 1 + r * around + a % around

    # UV grid: pole rows and ring rows, one extra column for the seam.
    cols = around + 1
    uv_rows = nr + 2
    uu, vv = np.meshgrid(np.arange(cols) / around, np.arange(uv_rows) / (uv_rows - 1))
    uvs = np.stack([uu.ravel(), vv.ravel()], 1)

    def uv_index(row, a):
        return row * cols + a

    tris, uv_tris = [], []
    for a in range(around):
        tris.append((0, ring_vertex(0, a + 1), ring_vertex(0, a)))
        uv_tris.append((uv_index(0, a), uv_index(1, a + 1), uv_index(1, a)))
        tris.append((last, ring_vertex(nr - 1, a), ring_vertex(nr - 1, a + 1)))
        uv_tris.append((uv_index(uv_rows - 1, a), uv_index(nr, a), uv_index(nr, a + 1)))
    for r in range(nr - 1):
        for a in range(around):
            p00, p01 = ring_vertex(r, a), ring_vertex(r, a + 1)
            p10, p11 = ring_vertex(r + 1, a), ring_vertex(r + 1, a + 1)
            t00, t01, t10, t11 = (uv_index(r + 1, a), uv_index(r + 1, a + 1),
                                  uv_index(r + 2, a), uv_index(r + 2, a + 1))
            tris += [(p00, p01, p11), (p00, p11, p10)]
            uv_tris += [(t00, t01, t11), (t00, t11, t10)]
    tris, uv_tris = np.array(tris), np.array(uv_tris)
    # Outward-facing triangles: the enclosed volume must be positive.
    a, b, c = pos[tris[:, 0]], pos[tris[:, 1]], pos[tris[:, 2]]
    if np.einsum("ij,ij->i", a, np.cross(b, c)).sum() < 0:
        tris, uv_tris = tris[:, ::-1], uv_tris[:, ::-1]
    return pos, tris, uvs, uv_tris, axial


def smoothstep(x):
    x = np.clip(x, 0.0, 1.0)
    return x * x * (3 - 2 * x)


def build_body(sk, target_vertices):
    segs, rest, height = body_segments(sk)
    area = sum(s.area() for s in segs)
    spacing = math.sqrt(area / target_vertices)
    for _ in range(4):  # rounding of ring counts: rescale the spacing to the target
        count = sum(len(capsule(s, spacing)[0]) for s in segs)
        spacing *= math.sqrt(count / target_vertices)

    positions, tris, uvs, uv_tris, joints, weights = [], [], [], [], [], []
    grid = int(math.ceil(math.sqrt(len(segs))))
    vbase = ubase = 0
    for i, seg in enumerate(segs):
        pos, tri, uv, uv_tri, s = capsule(seg, spacing)
        # Each capsule gets its own cell of the texture atlas.
        cell = np.array([i % grid, i // grid], dtype=float)
        uvs.append((cell + 0.05 + 0.9 * uv) / grid)
        positions.append(pos)
        tris.append(tri + vbase)
        uv_tris.append(uv_tri + ubase)
        vbase += len(pos)
        ubase += len(uv)

        # Falloff zones around both articulations of the segment: weight 1/2
        # at the joint, all of it one zone-width into the neighbouring bone.
        inf = np.zeros((len(pos), 4), dtype=np.int64)
        w = np.zeros((len(pos), 4))
        inf[:, 0] = seg.owner
        parent = sk.parents[seg.owner]
        if parent >= 0:
            z = min(0.45 * seg.length, seg.r0)
            inf[:, 1] = parent
            w[:, 1] = 1 - smoothstep((s + z) / (2 * z))
        if seg.child >= 0:
            z = min(0.45 * seg.length, seg.r1)
            inf[:, 2] = seg.child
            w[:, 2] = 1 - smoothstep((seg.length - s + z) / (2 * z))
        w[:, 0] = 1 - w[:, 1] - w[:, 2]
        joints.append(inf)
        weights.append(w)
    return (np.vstack(positions), np.vstack(tris), np.vstack(uvs), np.vstack(uv_tris),
            np.vstack(joints), np.vstack(weights), rest, segs, height)


# ------------------------------------------------------------------ skinning

def matrix_to_quaternion(m):
    """(N, 3, 3) rotations to unit quaternions (N, 4) as (w, x, y, z)."""
    q = np.zeros((len(m), 4))
    for n, r in enumerate(m):
        tr = np.trace(r)
        if tr > 0:
            s = 2 * math.sqrt(tr + 1)
            q[n] = [0.25 * s, (r[2, 1] - r[1, 2]) / s, (r[0, 2] - r[2, 0]) / s, (r[1, 0] - r[0, 1]) / s]
        else:
            i = int(np.argmax(np.diag(r)))
            j, k = (i + 1) % 3, (i + 2) % 3
            s = 2 * math.sqrt(1 + r[i, i] - r[j, j] - r[k, k])
            q[n, 0] = (r[k, j] - r[j, k]) / s
            q[n, 1 + i] = 0.25 * s
            q[n, 1 + j] = (r[j, i] + r[i, j]) / s
            q[n, 1 + k] = (r[k, i] + r[i, k]) / s
    return q / np.linalg.norm(q, axis=1, keepdims=True)


def quat_mul(a, b):
    aw, ax, ay, az = np.moveaxis(a, -1, 0)
    bw, bx, by, bz = np.moveaxis(b, -1, 0)
    return np.stack([aw * bw - ax * bx - ay * by - az * bz,
                     aw * bx + ax * bw + ay * bz - az * by,
                     aw * by - ax * bz + ay * bw + az * bx,
                     aw * bz + ax * by - ay * bx + az * bw], -1)


def skin_lbs(rest, joints, weights, skin):
    """skin: (J, 4, 4) bind-to-pose matrices of one frame."""
    blended = np.einsum("vk,vkij->vij", weights, skin[joints][:, :, :3, :])
    return np.einsum("vij,vj->vi", blended[:, :, :3], rest) + blended[:, :, 3]


def skin_dqs(rest, joints, weights, skin):
    real = matrix_to_quaternion(skin[:, :3, :3])
    t = np.concatenate([np.zeros((len(skin), 1)), skin[:, :3, 3]], 1)
    dual = 0.5 * quat_mul(t, real)
    r, d = real[joints], dual[joints]  # (V, K, 4)
    # Antipodal quaternions are one rotation: blend on the first influence's side.
    sign = np.where(np.einsum("vki,vi->vk", r, r[:, 0]) < 0, -1.0, 1.0)
    w = weights * sign
    br = np.einsum("vk,vki->vi", w, r)
    bd = np.einsum("vk,vki->vi", w, d)
    norm = np.linalg.norm(br, axis=1, keepdims=True)
    br, bd = br / norm, bd / norm
    conj = br * np.array([1, -1, -1, -1])
    trans = 2 * quat_mul(bd, conj)[:, 1:]
    p = np.concatenate([np.zeros((len(rest), 1)), rest], 1)
    rotated = quat_mul(quat_mul(br, p), conj)[:, 1:]
    return rotated + trans


# --------------------------------------------------------------------- main

def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--bvh", required=True)
    ap.add_argument("--name", required=True, help="dataset name prefix")
    ap.add_argument("--out", required=True)
    ap.add_argument("--vertices", type=int, default=4500)
    ap.add_argument("--frames", type=int, default=200)
    ap.add_argument("--skinning", default="lbs,dqs", help="comma list of lbs, dqs")
    args = ap.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)

    sk = read_bvh(args.bvh)
    first = first_animated_frame(sk)
    count = min(args.frames, len(sk.motion) - first)
    frames = np.round(np.linspace(first, len(sk.motion) - 1, count)).astype(int)
    fps = (count - 1) / ((frames[-1] - frames[0]) * sk.frame_time) if count > 1 else 1 / sk.frame_time

    bind, tris, uvs, uv_tris, joints, weights, rest, segs, height = build_body(sk, args.vertices)
    world = world_matrices(sk, frames)
    inv_bind = np.tile(np.eye(4), (len(rest), 1, 1))
    inv_bind[:, :3, 3] = -rest
    skin = world @ inv_bind  # (F, J, 4, 4)

    used = sorted(set(joints[weights > 0].tolist()))
    truth = {
        "source": os.path.basename(args.bvh),
        "units": "the BVH's own",
        "joint_names": sk.names,
        "parents": sk.parents,
        "bind_positions": rest.round(6).tolist(),
        "bvh_frames": frames.tolist(),
        "fps": fps,
        "vertex_count": int(len(bind)),
        "weighted_joints": used,
        "world_matrices": [[m.round(6).flatten().tolist() for m in f] for f in world],
        "world_matrices_layout": "per frame, per joint, 4x4 row-major; pose of the BVH joint, bind pose = translation to bind_positions",
        "vertex_joints": joints.tolist(),
        "vertex_weights": weights.round(6).tolist(),
        "body_height": height,
        "segments": [{"joint": sk.names[s.owner], "role": s.role} for s in segs],
    }
    truth_file = args.name + ".truth.json"
    meshio.write_json(os.path.join(args.out, truth_file), truth, compact=True)

    for method in args.skinning.split(","):
        skinner = {"lbs": skin_lbs, "dqs": skin_dqs}[method]
        anim = np.stack([skinner(bind, joints, weights, skin[f]) for f in range(count)])
        name = "%s-%s" % (args.name, method)
        meshio.write_pc2(os.path.join(args.out, name + ".pc2"), anim, fps)
        meshio.write_obj(os.path.join(args.out, name + ".obj"), anim[0], tris, uvs, uv_tris,
                         comment="%s: body bound to %s, %s skinning; positions = first cached frame"
                                 % (name, os.path.basename(args.bvh), method.upper()))
        entry = meshio.cache_entry(
            name, "mocap-character", args.out, name + ".pc2", name + ".obj", count, len(bind), len(tris), fps,
            extra={"skinning": method, "source": os.path.basename(args.bvh), "truth": truth_file,
                   "joints": len(sk.names), "true_bones": len(used)})
        entry["files"]["truth"] = truth_file
        meshio.write_entry(args.out, entry)
        print("%s: %d vertices, %d triangles, %d frames, %d joints (%d weighted)"
              % (name, len(bind), len(tris), count, len(sk.names), len(used)))


if __name__ == "__main__":
    main()

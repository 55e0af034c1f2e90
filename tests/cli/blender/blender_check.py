# The exported rig in a real client: Blender (Debian's 3.4, headless) imports
# the .glb that `vantrel decompose` writes for a small generated articulated
# body, and this checks that its armature is the report's tree and that the
# mesh Blender deforms is the input at every key, within the report's largest
# distance (plus float32 slack); and that the tree joins the body's parts as
# the body does.
#
#   blender -b --factory-startup --python-exit-code 1 --python blender_check.py -- VANTREL OUT_DIR
#
# The body: a pelvis with a spine, a head, two legs and two arms of two bones
# each; tubes of rings around every bone, skinned by linear blending across
# each articulation, every joint turning about two axes on its own rhythm.
import json
import math
import os
import struct
import subprocess
import sys

import numpy as np

np.bool = bool  # Blender 3.4's glTF importer uses the alias numpy 1.24 removed

import bpy  # noqa: E402
import mathutils  # noqa: E402

FPS = 24
FRAMES = 24
PARENTS = [-1, 0, 1, 0, 3, 0, 5, 1, 7, 1, 9]
POINTS = [(0, 0, 0), (0, 1.5, 0), (0, 3.2, 0), (0.7, -0.3, 0), (0.7, -2.6, 0), (-0.7, -0.3, 0), (-0.7, -2.6, 0),
          (0.9, 2.8, 0), (2.9, 2.8, 0), (-0.9, 2.8, 0), (-2.9, 2.8, 0)]
ENDS = [(0, 1.5, 0), (0, 3.2, 0), (0, 4.4, 0), (0.7, -2.6, 0), (0.7, -4.8, 0), (-0.7, -2.6, 0), (-0.7, -4.8, 0),
        (2.9, 2.8, 0), (4.8, 2.8, 0), (-2.9, 2.8, 0), (-4.8, 2.8, 0)]


def fail(message):
    print("blender_check: FAILED: " + message, flush=True)
    sys.exit(1)


def rotation(axis, angle):
    c, s = math.cos(angle), math.sin(angle)
    x, y, z = axis
    return np.array([[c + x * x * (1 - c), x * y * (1 - c) - z * s, x * z * (1 - c) + y * s],
                     [y * x * (1 - c) + z * s, c + y * y * (1 - c), y * z * (1 - c) - x * s],
                     [z * x * (1 - c) - y * s, z * y * (1 - c) + x * s, c + z * z * (1 - c)]])


def body():
    """Rest positions (V, 3), triangles, per vertex (joint, weight) pairs."""
    positions, triangles, influences = [], [], []
    rings, around, radius, blend = 7, 10, 0.25, 0.5
    for j, (a, b) in enumerate(zip(POINTS, ENDS)):
        a, b = np.array(a, float), np.array(b, float)
        axis = (b - a) / np.linalg.norm(b - a)
        u = np.cross(axis, [0.3, 0.5, 0.8])
        u /= np.linalg.norm(u)
        w = np.cross(axis, u)
        base = len(positions)
        for r in range(rings):
            t = (r + 0.5) / rings
            along = t * np.linalg.norm(b - a)
            for k in range(around):
                phi = 2 * math.pi * k / around
                positions.append(a + t * (b - a) + radius * (math.cos(phi) * u + math.sin(phi) * w))
                if PARENTS[j] >= 0 and along < blend:
                    share = 0.5 * (1 - along / blend)
                    influences.append([(j, 1 - share), (PARENTS[j], share)])
                else:
                    influences.append([(j, 1.0)])
        for r in range(rings - 1):
            for k in range(around):
                p, q = base + r * around + k, base + r * around + (k + 1) % around
                triangles += [(p, q, q + around), (p, q + around, p + around)]
    return np.array(positions), triangles, influences


def animate(rest, influences):
    """Frames (F, V, 3): each joint turns about its point relative to its
    parent by two angles; the pelvis also travels."""
    frames = []
    for f in range(FRAMES):
        time = f / (FRAMES - 1)
        turn, point = [], []
        for j, parent in enumerate(PARENTS):
            bend = 0.0 if f == 0 else 0.5 * math.sin(2 * math.pi * time + 0.9 * j)
            twist = 0.0 if f == 0 else 0.4 * math.sin(2 * math.pi * 1.7 * time + 1.1 * j + 0.5)
            local = rotation((0, 0, 1), bend) @ rotation((1, 0, 0), twist)
            if parent < 0:
                turn.append(local)
                point.append(np.array(POINTS[j]) + np.array([1.5 * time, 0, 0.4 * time]))
            else:
                turn.append(turn[parent] @ local)
                point.append(point[parent] + turn[parent] @ (np.array(POINTS[j]) - np.array(POINTS[parent])))
        frame = np.zeros_like(rest)
        for v, pairs in enumerate(influences):
            for j, weight in pairs:
                frame[v] += weight * (turn[j] @ (rest[v] - np.array(POINTS[j])) + point[j])
        frames.append(frame)
    return np.array(frames)


def write_inputs(folder, frames, triangles):
    with open(os.path.join(folder, "body.pc2"), "wb") as f:
        f.write(b"POINTCACHE2\0" + struct.pack("<iiffi", 1, frames.shape[1], 0.0, 1.0, frames.shape[0]))
        f.write(frames.astype("<f4").tobytes())
    with open(os.path.join(folder, "body.obj"), "w") as f:
        for p in frames[0]:
            f.write("v %.9g %.9g %.9g\n" % tuple(p))
        for t in triangles:
            f.write("f %d %d %d\n" % (t[0] + 1, t[1] + 1, t[2] + 1))


def decompose(vantrel, folder):
    command = [vantrel, "decompose", os.path.join(folder, "body.pc2"), "--topology", os.path.join(folder, "body.obj"),
               "-o", os.path.join(folder, "body.glb"), "--report", os.path.join(folder, "body.json"),
               "-b", str(len(PARENTS)), "--fps", str(FPS), "-q"]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        fail("vantrel decompose: " + done.stderr + done.stdout)
    with open(os.path.join(folder, "body.json")) as f:
        return json.load(f)


def import_rig(path):
    bpy.ops.wm.read_factory_settings(use_empty=True)
    bpy.context.scene.render.fps = FPS
    bpy.context.scene.render.fps_base = 1.0
    bpy.ops.import_scene.gltf(filepath=path)
    armatures = [o for o in bpy.context.scene.objects if o.type == "ARMATURE"]
    meshes = [o for o in bpy.context.scene.objects if o.type == "MESH"]
    if len(armatures) != 1 or len(meshes) != 1:
        fail("expected one armature and one mesh, got %d and %d" % (len(armatures), len(meshes)))
    return armatures[0], meshes[0]


def check_tree(armature, report):
    joints = report["skeleton"]["joints"]
    if report["skeleton"]["hierarchy"] != "tree":
        fail("the report's hierarchy is " + report["skeleton"]["hierarchy"])
    bones = armature.data.bones
    if len(bones) != len(joints):
        fail("%d bones in Blender, %d joints in the report" % (len(bones), len(joints)))
    roots = 0
    for joint in joints:
        bone = bones.get(joint["name"])
        if bone is None:
            fail("no bone " + joint["name"])
        expected = joints[joint["parent"]]["name"] if joint["parent"] >= 0 else None
        got = bone.parent.name if bone.parent else None
        if got != expected:
            fail("bone %s: parent %s in Blender, %s in the report" % (joint["name"], got, expected))
        roots += joint["parent"] < 0
    if roots != 1:
        fail("%d roots" % roots)
    print("blender_check: the armature is the report's tree of %d joints" % len(joints), flush=True)


def check_body_tree(mesh_object, match, influences, report):
    """The report's tree is the body's: every joint stands for the body part
    whose vertices it carries most (Blender's vertex groups), and the links
    join the parts the body joins."""
    joints = report["skeleton"]["joints"]
    overlap = np.zeros((len(joints), len(PARENTS)))
    names = {group.index: group.name for group in mesh_object.vertex_groups}
    index = {joint["name"]: j for j, joint in enumerate(joints)}
    for vertex, v in zip(mesh_object.data.vertices, match):
        for element in vertex.groups:
            for part, weight in influences[v]:
                overlap[index[names[element.group]], part] += element.weight * weight
    stands_for = overlap.argmax(axis=1)
    if sorted(stands_for) != list(range(len(PARENTS))):
        fail("the joints stand for the body parts %s" % list(stands_for))
    found = {frozenset((int(stands_for[j]), int(stands_for[joint["parent"]])))
             for j, joint in enumerate(joints) if joint["parent"] >= 0}
    body = {frozenset((j, p)) for j, p in enumerate(PARENTS) if p >= 0}
    if found != body:
        fail("the tree joins %s, the body %s" % (sorted(map(sorted, found)), sorted(map(sorted, body))))
    print("blender_check: the tree joins the body's parts as the body does", flush=True)


def deformed(mesh_object):
    """Every vertex where Blender puts it, in glTF's axes (Y up)."""
    depsgraph = bpy.context.evaluated_depsgraph_get()
    evaluated = mesh_object.evaluated_get(depsgraph)
    mesh = evaluated.to_mesh()
    world = evaluated.matrix_world
    out = np.array([tuple(world @ v.co) for v in mesh.vertices])
    evaluated.to_mesh_clear()
    return np.stack([out[:, 0], out[:, 2], -out[:, 1]], axis=1)  # Blender's Z up to glTF's Y up


def check_deformation(mesh_object, frames, report):
    # The importer keeps only vertices that faces use, in its own order: each
    # Blender vertex is matched to its input vertex by rest position.
    scene = bpy.context.scene
    scene.frame_set(0)
    rest = deformed(mesh_object)
    tree = mathutils.kdtree.KDTree(len(frames[0]))
    for v, p in enumerate(frames[0]):
        tree.insert(p, v)
    tree.balance()
    size = float(np.linalg.norm(frames[0].max(axis=0) - frames[0].min(axis=0)))
    match = []
    for p in rest:
        _, index, distance = tree.find(p)
        if distance > 1e-4 * size:
            fail("a Blender vertex at rest is %g from every input vertex" % distance)
        match.append(index)
    allowed = report["maxDistance"] + 1e-4 * size  # float32 positions, keys and matrices
    worst = 0.0
    for f in range(len(frames)):
        scene.frame_set(f)  # key f is at f / FPS seconds: frame f
        gap = np.linalg.norm(deformed(mesh_object) - frames[f][match], axis=1).max()
        worst = max(worst, gap)
        if gap > allowed:
            fail("frame %d: Blender's mesh is %g from the input, beyond %g" % (f, gap, allowed))
    print("blender_check: every key within %g of the input (largest %g; the report's %g)"
          % (allowed, worst, report["maxDistance"]), flush=True)
    return match


def main():
    arguments = sys.argv[sys.argv.index("--") + 1:]
    vantrel, folder = arguments[0], arguments[1]
    os.makedirs(folder, exist_ok=True)
    rest, triangles, influences = body()
    frames = animate(rest, influences)
    write_inputs(folder, frames, triangles)
    frames = np.fromfile(os.path.join(folder, "body.pc2"), dtype="<f4", offset=32).reshape(frames.shape)
    report = decompose(vantrel, folder)
    armature, mesh_object = import_rig(os.path.join(folder, "body.glb"))
    check_tree(armature, report)
    match = check_deformation(mesh_object, frames.astype(float), report)
    check_body_tree(mesh_object, match, influences, report)
    print("blender_check: passed", flush=True)


main()

"""Non-rigid motion baked in Blender: a cloth draping over a sphere, or a soft
body dropped on the floor. Runs inside Blender:

  blender -b --factory-startup --python bench/data/blender_sim.py -- \
      --sim cloth|softbody --out DIR [--name NAME] [--frames 80] [--resolution 50]

Reads the evaluated mesh at every frame and writes NAME.pc2 + NAME.obj (the
OBJ's positions are the first cached frame) and a manifest entry. Blender is
Z-up; the files are converted to Y-up like glTF. The scene is built from
numbers only, so each run gives the same motion."""

import argparse
import math
import os
import sys

import bpy
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import meshio  # noqa: E402


def clear_scene():
    for obj in list(bpy.data.objects):
        bpy.data.objects.remove(obj, do_unlink=True)


def add_mesh(name, verts, faces):
    mesh = bpy.data.meshes.new(name)
    mesh.from_pydata([tuple(v) for v in verts], [], [tuple(f) for f in faces])
    mesh.update()
    obj = bpy.data.objects.new(name, mesh)
    bpy.context.scene.collection.objects.link(obj)
    return obj


def grid(resolution, size):
    """A square grid of resolution^2 vertices in the XY plane, centred, with
    quads (cloth likes quads) and the same grid split into triangles for the
    OBJ, plus per-vertex UVs."""
    t = np.linspace(-size / 2, size / 2, resolution)
    xx, yy = np.meshgrid(t, t)
    verts = np.stack([xx.ravel(), yy.ravel(), np.zeros(resolution * resolution)], 1)
    quads = [(r * resolution + c, r * resolution + c + 1, (r + 1) * resolution + c + 1, (r + 1) * resolution + c)
             for r in range(resolution - 1) for c in range(resolution - 1)]
    uvs = (verts[:, :2] + size / 2) / size
    return verts, quads, meshio.grid_triangles(resolution, resolution), uvs


def add_collider(obj, friction):
    obj.modifiers.new("Collision", "COLLISION")
    obj.collision.cloth_friction = friction
    obj.collision.friction_factor = 0.5
    obj.collision.thickness_outer = 0.02


def cloth_scene(args):
    """A 2 m square of cotton-like cloth, tilted, falling onto a sphere a little
    off its centre: it wraps and folds over the sphere and settles on the
    floor, so no part moves rigidly."""
    verts, quads, tris, uvs = grid(args.resolution, 2.0)
    cloth = add_mesh("Cloth", verts, quads)
    cloth.location = (0.0, 0.0, 0.95)
    cloth.rotation_euler = (math.radians(12), math.radians(-8), math.radians(20))
    bpy.ops.mesh.primitive_uv_sphere_add(segments=48, ring_count=24, radius=0.55, location=(0.12, -0.06, 0.0))
    add_collider(bpy.context.active_object, 10.0)
    bpy.ops.mesh.primitive_plane_add(size=10.0, location=(0.0, 0.0, -0.55))
    add_collider(bpy.context.active_object, 5.0)

    mod = cloth.modifiers.new("Cloth", "CLOTH")
    s = mod.settings
    s.quality = 6
    s.mass = 0.3
    s.tension_stiffness = s.compression_stiffness = 15.0
    s.shear_stiffness = 5.0
    s.bending_stiffness = 0.5
    s.air_damping = 1.0
    mod.collision_settings.use_collision = True
    mod.collision_settings.distance_min = 0.015
    mod.point_cache.frame_start = 1
    mod.point_cache.frame_end = args.frames
    return cloth, tris, uvs


def softbody_scene(args):
    """A jelly ball (subdivided icosphere) thrown sideways onto the floor:
    it squashes, bounces and wobbles."""
    bpy.ops.mesh.primitive_ico_sphere_add(subdivisions=args.resolution, radius=0.5, location=(-0.6, 0.0, 1.2))
    ball = bpy.context.active_object
    bpy.ops.mesh.primitive_plane_add(size=10.0, location=(0.0, 0.0, 0.0))
    add_collider(bpy.context.active_object, 5.0)

    mod = ball.modifiers.new("Softbody", "SOFT_BODY")
    s = mod.settings
    s.use_goal = False
    s.use_edges = True
    s.use_stiff_quads = True
    s.pull = s.push = 0.95
    s.damping = 0.5
    s.bend = 2.0
    s.mass = 1.0
    s.friction = 0.5
    s.use_self_collision = False
    # A sideways push: the goal-free soft body starts with the velocity an
    # animated location gives it over the first frames.
    ball.keyframe_insert("location", frame=1)
    ball.location.x += 0.12
    ball.keyframe_insert("location", frame=2)
    mod.point_cache.frame_start = 1
    mod.point_cache.frame_end = args.frames

    mesh = ball.data
    tris = np.array([tuple(p.vertices) for p in mesh.polygons], dtype=np.int64)
    # Spherical UVs (seams are not split: each vertex has one uv).
    co = np.array([v.co for v in mesh.vertices])
    d = co / np.linalg.norm(co, axis=1, keepdims=True)
    uvs = np.stack([0.5 + np.arctan2(d[:, 1], d[:, 0]) / (2 * math.pi), 0.5 + np.arcsin(d[:, 2]) / math.pi], 1)
    return ball, tris, uvs


def bake(obj, frames):
    """World positions of the evaluated mesh at frames 1..frames, Y-up."""
    scene = bpy.context.scene
    out = []
    for f in range(1, frames + 1):
        scene.frame_set(f)  # sequential frames: the simulation steps forward
        depsgraph = bpy.context.evaluated_depsgraph_get()
        ev = obj.evaluated_get(depsgraph)
        mesh = ev.to_mesh()
        co = np.empty(len(mesh.vertices) * 3)
        mesh.vertices.foreach_get("co", co)
        ev.to_mesh_clear()
        m = np.array(ev.matrix_world)
        co = co.reshape(-1, 3) @ m[:3, :3].T + m[:3, 3]
        out.append(np.stack([co[:, 0], co[:, 2], -co[:, 1]], 1))
    return np.stack(out)


def main():
    argv = sys.argv[sys.argv.index("--") + 1:] if "--" in sys.argv else []
    ap = argparse.ArgumentParser(prog="blender_sim.py")
    ap.add_argument("--sim", choices=["cloth", "softbody"], required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--name")
    ap.add_argument("--frames", type=int, default=80)
    ap.add_argument("--resolution", type=int, help="grid side (cloth) or icosphere subdivisions (soft body)")
    args = ap.parse_args(argv)
    if args.resolution is None:
        args.resolution = 50 if args.sim == "cloth" else 5
    name = args.name or ("sim-" + args.sim)
    os.makedirs(args.out, exist_ok=True)

    clear_scene()
    scene = bpy.context.scene
    scene.render.fps = 24
    scene.frame_start, scene.frame_end = 1, args.frames
    obj, tris, uvs = (cloth_scene if args.sim == "cloth" else softbody_scene)(args)
    anim = bake(obj, args.frames)

    meshio.write_pc2(os.path.join(args.out, name + ".pc2"), anim, scene.render.fps)
    meshio.write_obj(os.path.join(args.out, name + ".obj"), anim[0], tris, uvs, tris,
                     comment="%s: Blender %s %s simulation, Y-up; positions = first cached frame"
                             % (name, bpy.app.version_string, args.sim))
    entry = meshio.cache_entry(name, "blender-" + args.sim, args.out, name + ".pc2", name + ".obj",
                               len(anim), anim.shape[1], len(tris), scene.render.fps,
                               extra={"blender": bpy.app.version_string})
    meshio.write_entry(args.out, entry)
    print("%s: %d vertices, %d triangles, %d frames" % (name, anim.shape[1], len(tris), len(anim)))


main()

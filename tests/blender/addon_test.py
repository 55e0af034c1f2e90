# Tests of the Blender add-on in Blender itself, headless:
#
#   blender -b --factory-startup --python-exit-code 1 --python addon_test.py -- \
#       --vantrel PATH --addon-zip PATH --work DIR [--only shape_keys|cloth|failures|cancel]
#
# The add-on is installed from its zip as a user would (Preferences > Add-ons
# > Install), into BLENDER_USER_SCRIPTS when that is set (ctest sets it to a
# folder of the build tree, so that the user's own Blender set-up is left
# alone). Each test builds its scene, runs the operator as a script does
# (bpy.ops.object.vantrel_decompose(...), its execute path) and checks:
#
# - shape_keys: a grid with two shape keys keyed over 20 frames, moved and
#   turned away from the origin, with a material and a uv layer: an armature
#   "<name>_rig" with an action keyed on the scene's frames, a mesh
#   "<name>_skinned" with the original's materials and uvs, and at every
#   frame the mesh the armature deforms lies within the reported largest
#   distance of the original (float32 rounding aside); once with the
#   operator's own settings, once with the panel's (affine joints, a frame
#   step of 2 and a rest frame in the middle);
# - cloth: a short cloth simulation (a small plane falling onto a sphere),
#   captured in world coordinates: the same checks at every frame;
# - failures: no active mesh, a program that is missing, more joints than
#   vertices (the program refuses, its message shown), a vertex count that
#   changes over the frames, a single frame, a rest frame outside the range,
#   a failure after the import: an error report each, the scene unchanged
#   (its objects and data), no temporary files left;
# - cancel: a run stopped while the program works (as Esc does): the program
#   ends, nothing is left behind, the frame is restored.

import argparse
import os
import re
import shutil
import sys
import tempfile
import time
import traceback

import bpy
import addon_utils
import numpy as np

ADDON = "vantrel_addon"


def parse_arguments():
    argv = sys.argv[sys.argv.index("--") + 1:] if "--" in sys.argv else []
    parser = argparse.ArgumentParser(prog="addon_test.py")
    parser.add_argument("--vantrel", required=True, help="the vantrel program")
    parser.add_argument("--addon-zip", required=True, help="the add-on's zip")
    parser.add_argument("--work", required=True, help="a folder for the test's files")
    parser.add_argument("--only", action="append", help="run only these tests")
    return parser.parse_args(argv)


ARGS = parse_arguments()
os.makedirs(ARGS.work, exist_ok=True)
# The add-on's temporary folders go here, so that the tests can see that
# none is left behind.
TEMP = os.path.join(ARGS.work, "tmp")
shutil.rmtree(TEMP, ignore_errors=True)  # what an interrupted run left
os.makedirs(TEMP)
tempfile.tempdir = TEMP


def install_addon():
    result = bpy.ops.preferences.addon_install(filepath=ARGS.addon_zip, overwrite=True)
    assert result == {'FINISHED'}, result
    module = addon_utils.enable(ADDON, default_set=True, handle_error=None)
    assert module is not None, "the add-on did not enable"
    return module


def preferences():
    return bpy.context.preferences.addons[ADDON].preferences


# ---------------------------------------------------------------------------
# Scenes


def empty_scene():
    """Removes everything the previous test made; the add-on stays enabled."""
    bpy.ops.wm.read_homefile(use_empty=True)
    assert ADDON in bpy.context.preferences.addons, "the add-on was disabled by a new file"
    preferences().program_path = ARGS.vantrel
    preferences().extra_options = ""
    bpy.context.window_manager.vantrel_status = ""
    scene = bpy.context.scene
    scene.render.fps = 24
    return scene


def shape_key_grid(scene, name="Grid"):
    """A 13 x 13 grid, moved and turned, with a material, a uv layer and two
    shape keys (a bend, then a twist) keyed over frames 1 to 20."""
    bpy.ops.mesh.primitive_grid_add(x_subdivisions=12, y_subdivisions=12, size=2, location=(1.0, -2.0, 0.5),
                                    rotation=(0.4, 0.1, 0.7), calc_uvs=True)
    obj = bpy.context.active_object
    obj.name = name
    material = bpy.data.materials.new("GridMaterial")
    obj.data.materials.append(material)
    obj.shape_key_add(name="Basis")
    bend = obj.shape_key_add(name="bend")
    for point in bend.data:
        if point.co.x > 0:
            point.co.z += 0.9 * point.co.x
    twist = obj.shape_key_add(name="twist")
    for point in twist.data:
        if point.co.y < 0:
            point.co.z -= 0.6 * point.co.y * point.co.x
    for key, frames in ((bend, (1, 10, 20)), (twist, (1, 8, 20))):
        for frame, value in zip(frames, (0.0, 1.0, 0.3)):
            key.value = value
            key.keyframe_insert("value", frame=frame)
    scene.frame_start, scene.frame_end = 1, 20
    scene.frame_set(7)
    return obj


def cloth_plane(scene):
    """A small plane falling onto a sphere over 24 frames: a cloth
    simulation."""
    bpy.ops.mesh.primitive_uv_sphere_add(segments=12, ring_count=8, radius=0.6, location=(3.0, 1.0, 0.0))
    sphere = bpy.context.active_object
    sphere.name = "Obstacle"
    sphere.modifiers.new("Collision", 'COLLISION')
    bpy.ops.mesh.primitive_grid_add(x_subdivisions=9, y_subdivisions=9, size=2.0, location=(3.0, 1.0, 1.0),
                                    calc_uvs=True)
    plane = bpy.context.active_object
    plane.name = "Cloth"
    # Two materials: one on the mesh, one on the object's slot.
    plane.data.materials.append(bpy.data.materials.new("ClothMesh"))
    plane.data.materials.append(bpy.data.materials.new("ClothUnder"))
    plane.material_slots[1].link = 'OBJECT'
    plane.material_slots[1].material = bpy.data.materials.new("ClothObject")
    for polygon in plane.data.polygons:
        polygon.material_index = polygon.index % 2
    cloth = plane.modifiers.new("Cloth", 'CLOTH')
    cloth.settings.quality = 3
    cloth.point_cache.frame_start = 1
    cloth.point_cache.frame_end = 24
    scene.frame_start, scene.frame_end = 1, 24
    scene.frame_set(1)
    return plane


# ---------------------------------------------------------------------------
# Checks


def world_positions(obj, depsgraph):
    evaluated = obj.evaluated_get(depsgraph)
    mesh = evaluated.to_mesh()
    try:
        local = np.empty(3 * len(mesh.vertices), dtype=np.float64)
        mesh.vertices.foreach_get("co", local)
        m = np.array(evaluated.matrix_world, dtype=np.float64)
        return local.reshape(-1, 3) @ m[:3, :3].T + m[:3, 3]
    finally:
        evaluated.to_mesh_clear()


def reported_figures():
    """E_RMS and the largest distance from the add-on's report line (as the
    user reads it in the info area and the panel)."""
    status = bpy.context.window_manager.vantrel_status
    match = re.search(r"E_RMS (\S+), max distance (\S+)", status)
    assert match, "no E_RMS and max distance reported: %r" % status
    return float(match.group(1)), float(match.group(2))


def check_rig(scene, original, frames, check_placement=True):
    """The rig of `original`: its objects, action, materials and uvs, and at
    every frame of `frames` its deformed mesh against the original's."""
    name = original.name
    armature = bpy.data.objects.get(name + "_rig")
    skinned = bpy.data.objects.get(name + "_skinned")
    assert armature is not None and armature.type == 'ARMATURE', [o.name for o in bpy.data.objects]
    assert skinned is not None and skinned.type == 'MESH'
    assert skinned.parent == armature
    assert any(m.type == 'ARMATURE' and m.object == armature for m in skinned.modifiers)
    assert bpy.context.view_layer.objects.active == armature
    assert set(original.users_collection) == set(armature.users_collection) == set(skinned.users_collection)
    action = armature.animation_data.action
    assert action is not None and action.name == name + "_rig_action"
    assert len(armature.animation_data.nla_tracks) == 0
    keyed = sorted({round(k.co.x) for c in action.fcurves for k in c.keyframe_points})
    assert keyed == list(frames), (keyed, frames)
    bones = {b.name for b in armature.data.bones}
    assert bones and {g.name for g in skinned.vertex_groups} <= bones
    for v in skinned.data.vertices:
        total = sum(g.weight for g in v.groups)
        assert abs(total - 1.0) < 1e-3, "vertex %d's weights sum to %g" % (v.index, total)
    # Materials (of the mesh or of the object) and uvs of the original.
    def materials(obj):
        return [(slot.link, slot.material.name if slot.material else None) for slot in obj.material_slots]
    assert materials(skinned) == materials(original), (materials(skinned), materials(original))
    assert materials(original), "the test object has no material"
    assert [l.name for l in skinned.data.uv_layers] == [l.name for l in original.data.uv_layers]
    for mine, theirs in zip(skinned.data.uv_layers, original.data.uv_layers):
        a = np.empty(2 * len(mine.data))
        b = np.empty(2 * len(theirs.data))
        mine.data.foreach_get("uv", a)
        theirs.data.foreach_get("uv", b)
        assert np.allclose(a, b), "uvs differ"
    assert len(skinned.data.polygons) == len(original.data.polygons)
    indices = [np.empty(len(o.data.polygons), dtype=np.int32) for o in (skinned, original)]
    skinned.data.polygons.foreach_get("material_index", indices[0])
    original.data.polygons.foreach_get("material_index", indices[1])
    assert np.array_equal(*indices), "the faces' materials differ"
    assert skinned.data.shape_keys is None

    e_rms, max_distance = reported_figures()
    depsgraph = bpy.context.evaluated_depsgraph_get()
    worst = 0.0
    moved = 0.0
    reference = None
    for frame in range(frames[0], frames[-1] + 1):
        scene.frame_set(frame)
        expected = world_positions(original, depsgraph)
        if reference is None:
            reference = expected
        moved = max(moved, float(np.max(np.linalg.norm(expected - reference, axis=1))))
        if frame not in frames:
            continue
        deformed = world_positions(skinned, depsgraph)
        assert deformed.shape == expected.shape
        distance = float(np.max(np.linalg.norm(deformed - expected, axis=1)))
        # float32 rounding of coordinates this far from the origin and of
        # the armature's matrices, and the 4 digits the distance is shown
        # with.
        tolerance = 2e-5 * (1.0 + float(np.max(np.abs(expected)))) + 5e-4 * max_distance
        assert distance <= max_distance + tolerance, (
            "frame %d: the rig is %g from the original, more than the reported %g (+%g)"
            % (frame, distance, max_distance, tolerance))
        worst = max(worst, distance)
    assert moved > 0.1, "the test animation barely moves (%g)" % moved
    print("  %s: %d frames, E_RMS %g, reported max distance %g, measured %g, motion %g"
          % (name, len(frames), e_rms, max_distance, worst, moved))
    return armature, skinned


def snapshot(scene):
    """What a failed run must leave as it was."""
    kinds = ("objects", "meshes", "armatures", "actions", "materials", "images", "collections")
    data = {kind: sorted(i.name for i in getattr(bpy.data, kind)) for kind in kinds}
    layer = bpy.context.view_layer
    return {
        "data": data,
        "frame": scene.frame_current,
        "active": layer.objects.active.name if layer.objects.active else None,
        "selected": sorted(o.name for o in layer.objects if o.select_get()),
        "matrices": {o.name: [list(r) for r in o.matrix_world] for o in bpy.data.objects},
    }


def temp_files():
    return sorted(os.listdir(TEMP))


def run_operator(**settings):
    """Runs the operator as a script does: its return value, or the
    RuntimeError Blender raises in scripts for an operator's error report."""
    try:
        return bpy.ops.object.vantrel_decompose(**settings)
    except RuntimeError as error:
        return error


def expect_failure(scene, pattern, **settings):
    before = snapshot(scene)
    files_before = temp_files()
    result = run_operator(**settings)
    status = bpy.context.window_manager.vantrel_status
    # An error report: in a script, Blender raises it as a RuntimeError.
    assert isinstance(result, RuntimeError), "%s: %s" % (result, status)
    assert str(result).startswith("Error: "), str(result)
    assert re.search(pattern, str(result)), "%r does not match %r" % (str(result), pattern)
    assert "Traceback" not in str(result)
    assert status.startswith("Failed: "), status
    assert re.search(pattern, status), "%r does not match %r" % (status, pattern)
    after = snapshot(scene)
    for key in before:
        assert before[key] == after[key], "%s changed: %s -> %s" % (key, before[key], after[key])
    assert temp_files() == files_before, "temporary files left: %s" % temp_files()
    print("  refused: " + status[len("Failed: "):])


# ---------------------------------------------------------------------------
# Tests


def test_shape_keys():
    scene = empty_scene()
    grid = shape_key_grid(scene)
    start = time.monotonic()
    result = run_operator(joints=6, influences=3, iterations=20)
    assert result == {'FINISHED'}, (result, bpy.context.window_manager.vantrel_status)
    print("  decomposed in %.1f s" % (time.monotonic() - start))
    assert scene.frame_current == 7, "the frame was not restored"
    assert (scene.frame_start, scene.frame_end, scene.render.fps) == (1, 20, 24)
    assert temp_files() == [], temp_files()
    armature, _ = check_rig(scene, grid, list(range(1, 21)))
    # Local space: the rig stands where the grid does.
    assert np.allclose(np.array(armature.matrix_world), np.array(grid.matrix_world), atol=1e-6)

    # The panel's settings (the scene's), when the operator is given none:
    # affine joints, every second frame, the rest in the middle.
    for obj in bpy.context.view_layer.objects:
        obj.select_set(False)
    bpy.context.view_layer.objects.active = grid
    settings = scene.vantrel
    settings.joints = 5
    settings.affine = True
    settings.frame_step = 2
    settings.use_rest_frame = True
    settings.rest_frame = 11
    settings.use_scene_range = False
    settings.frame_start, settings.frame_end = 1, 19
    bpy.data.objects.remove(bpy.data.objects["Grid_skinned"])
    bpy.data.objects.remove(bpy.data.objects["Grid_rig"])
    result = run_operator()
    assert result == {'FINISHED'}, (result, bpy.context.window_manager.vantrel_status)
    assert "5 joints" in bpy.context.window_manager.vantrel_status
    check_rig(scene, grid, list(range(1, 20, 2)))


def test_cloth():
    scene = empty_scene()
    plane = cloth_plane(scene)
    start = time.monotonic()
    result = run_operator(joints=8, space='WORLD')
    assert result == {'FINISHED'}, (result, bpy.context.window_manager.vantrel_status)
    print("  decomposed in %.1f s" % (time.monotonic() - start))
    assert scene.frame_current == 1
    assert temp_files() == [], temp_files()
    armature, _ = check_rig(scene, plane, list(range(1, 25)))
    assert np.allclose(np.array(armature.matrix_world), np.identity(4), atol=1e-9)


def test_failures():
    scene = empty_scene()
    grid = shape_key_grid(scene)
    vertices = len(grid.data.vertices)

    # No active object, and an active object that is no mesh.
    bpy.context.view_layer.objects.active = None
    expect_failure(scene, r"needs an active mesh object")
    bpy.ops.object.empty_add(location=(0, 0, 3))
    expect_failure(scene, r"needs an active mesh object \(Empty is not a mesh\)")
    bpy.context.view_layer.objects.active = grid

    # A program that is missing, and one that is no program.
    preferences().program_path = os.path.join(ARGS.work, "no-such-folder", "vantrel")
    expect_failure(scene, r"vantrel program .*no-such-folder.* was not found")
    preferences().program_path = os.path.join(ARGS.work, "no-such-folder")
    expect_failure(scene, r"was not found")
    not_a_program = os.path.join(ARGS.work, "not-a-program")
    with open(not_a_program, "w") as f:
        f.write("not a program\n")
    os.chmod(not_a_program, 0o644)
    preferences().program_path = not_a_program
    expect_failure(scene, r"cannot be run")
    preferences().program_path = ARGS.vantrel

    # Settings the program refuses: its own message is shown.
    expect_failure(scene, r"vantrel failed: -b %d: more joints than the animation's %d vertices"
                   % (vertices + 1, vertices), joints=vertices + 1)
    # Options the program does not know (through the preferences).
    preferences().extra_options = "--no-such-option"
    expect_failure(scene, r"vantrel failed: .*no-such-option")
    preferences().extra_options = "--search 'unclosed"
    expect_failure(scene, r"extra options cannot be read")
    preferences().extra_options = ""

    # Frames: a single one, a rest frame outside the range or off the step.
    expect_failure(scene, r"single frame", use_scene_range=False, frame_start=4, frame_end=4)
    expect_failure(scene, r"frame range 5 to 3 is empty", use_scene_range=False, frame_start=5, frame_end=3)
    expect_failure(scene, r"rest frame 30 is outside the frame range 1 to 20", use_rest_frame=True,
                   rest_frame=30)
    expect_failure(scene, r"rest frame 4 is not one of the sampled frames", use_rest_frame=True, rest_frame=4,
                   frame_step=2)

    # A vertex count that changes over the frames (an array modifier whose
    # count is keyed).
    array = grid.modifiers.new("Array", 'ARRAY')
    array.count = 1
    array.keyframe_insert("count", frame=1)
    array.count = 3
    array.keyframe_insert("count", frame=12)
    expect_failure(scene, r"vertex count of Grid changes over the frames \(%d at frame 1, %d at frame \d+\)"
                   % (vertices, 2 * vertices))
    grid.modifiers.remove(array)

    # A failure after the rig was imported: what the import and the job
    # added is removed again.
    module = sys.modules[ADDON]
    retime = module.DecomposeJob._retime

    def failing_retime(job, armature, base):
        assert armature.name == "Grid_rig" and "Grid_skinned" in bpy.data.objects
        raise module.Failure("the rig's key at 99 is not one of the sampled frames")

    module.DecomposeJob._retime = failing_retime
    try:
        expect_failure(scene, r"the rig's key at 99", joints=3)
    finally:
        module.DecomposeJob._retime = retime

    # Edit mode.
    bpy.ops.object.mode_set(mode='EDIT')
    expect_failure(scene, r"in edit mode; switch to Object Mode")
    bpy.ops.object.mode_set(mode='OBJECT')


def test_cancel():
    """What Esc does in the interface (the modal operator calls the job's
    cancel()), done on a job stepped here as the interface's timer would."""
    scene = empty_scene()
    grid = shape_key_grid(scene)
    module = sys.modules[ADDON]
    before = snapshot(scene)
    # A long run: many iterations, no early stop.
    preferences().extra_options = "--break-percent 0 -j 1"
    settings = {name: getattr(scene.vantrel, name) for name in module.SETTING_NAMES}
    settings.update(joints=40, iterations=100000)
    job = module.DecomposeJob(bpy.context, settings, ARGS.vantrel, module.extra_options(bpy.context))
    deadline = time.monotonic() + 60
    while job.run is None or not job.tracker.iterations:
        assert not job.step(), "the job ended before it could be cancelled"
        assert time.monotonic() < deadline, "the program made no progress: %s" % job.status
        time.sleep(0.02)
    assert 0.15 < job.fraction < 1.0, job.fraction
    assert "iteration" in job.status, job.status
    process = job.run.process
    temp_dir = job.temp_dir
    assert os.path.isdir(temp_dir)
    status = job.status
    job.cancel()
    assert process.poll() is not None, "the program still runs"
    assert not os.path.exists(temp_dir)
    assert temp_files() == [], temp_files()
    after = snapshot(scene)
    for key in before:
        assert before[key] == after[key], "%s changed: %s -> %s" % (key, before[key], after[key])
    print("  cancelled at: " + status)
    preferences().extra_options = ""


TESTS = {
    "shape_keys": test_shape_keys,
    "cloth": test_cloth,
    "failures": test_failures,
    "cancel": test_cancel,
}


def main():
    install_addon()
    chosen = ARGS.only or list(TESTS)
    failed = []
    for name in chosen:
        print("test %s" % name)
        start = time.monotonic()
        try:
            TESTS[name]()
        except Exception:  # noqa: BLE001 (reported, counted)
            traceback.print_exc()
            failed.append(name)
            print("test %s FAILED" % name)
        else:
            print("test %s passed (%.1f s)" % (name, time.monotonic() - start))
    if failed:
        print("FAILED: " + ", ".join(failed))
        sys.exit(1)
    print("all passed: " + ", ".join(chosen))
    sys.exit(0)


main()

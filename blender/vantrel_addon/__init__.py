# vantrel for Blender: "Decompose to Armature" turns the active mesh's
# animation (shape keys, modifier stacks, cloth and soft-body simulations,
# mesh caches: whatever Blender shows) into an armature with skin weights and
# an action, by running the vantrel program on a point cache of the
# evaluated mesh.
#
# The operator's work is a DecomposeJob, stepped by a timer in the interface
# (modal: Blender stays usable, Esc cancels) or run to the end by execute()
# when a script calls bpy.ops.object.vantrel_decompose(...).

bl_info = {
    "name": "vantrel: Decompose to Armature",
    "author": "The vantrel project",
    "version": (0, 1, 0),
    "blender": (3, 4, 0),
    "location": "View3D > Object > Decompose to Armature; View3D > Sidebar > vantrel",
    "description": "Turns any animated mesh into an armature with skin weights and an action, "
                   "using the vantrel program",
    "category": "Animation",
}

if "bpy" in locals():
    import importlib
    importlib.reload(core)  # noqa: F821 (a reload of the add-on)
else:
    from . import core

import os
import shlex
import shutil
import tempfile
import time
import traceback

import bpy
from bpy.props import BoolProperty, EnumProperty, IntProperty, PointerProperty, StringProperty

ADDON_DIR = os.path.dirname(os.path.abspath(__file__))


class Failure(Exception):
    """A failure told to the user as an error report (no traceback)."""


# ---------------------------------------------------------------------------
# Settings: the same properties on the operator and on the scene (the panel).


class DecomposeSettings:
    joints: IntProperty(
        name="Joints", description="Joints (bones) to solve", default=16, min=1, soft_max=200,
        options={'SKIP_SAVE'})
    influences: IntProperty(
        name="Influences", description="Most joints that move a vertex", default=4, min=1, max=64, soft_max=8,
        options={'SKIP_SAVE'})
    iterations: IntProperty(
        name="Iterations", description="Iteration limit of the solve", default=20, min=1, max=100000,
        soft_max=100, options={'SKIP_SAVE'})
    affine: BoolProperty(
        name="Affine", description="Let joints scale and shear (the rig keeps the closest "
                                   "translation, rotation and scale)", default=False, options={'SKIP_SAVE'})
    use_scene_range: BoolProperty(
        name="Scene Frame Range", description="Use the scene's frame range", default=True,
        options={'SKIP_SAVE'})
    frame_start: IntProperty(
        name="Start", description="First frame to decompose", default=1, options={'SKIP_SAVE'})
    frame_end: IntProperty(
        name="End", description="Last frame to decompose", default=250, options={'SKIP_SAVE'})
    frame_step: IntProperty(
        name="Step", description="Decompose every n-th frame of the range (every frame is still played, "
                                 "so that simulations step as they should)",
        default=1, min=1, soft_max=10, options={'SKIP_SAVE'})
    use_rest_frame: BoolProperty(
        name="Rest Frame", description="Choose the frame of the rest pose (else the first frame of the range)",
        default=False, options={'SKIP_SAVE'})
    rest_frame: IntProperty(
        name="Rest Frame", description="Frame whose pose the mesh is bound in", default=1,
        options={'SKIP_SAVE'})
    space: EnumProperty(
        name="Space", description="Coordinates the mesh is captured in",
        items=(('LOCAL', "Local", "The object's own coordinates: the rig is placed where the object stands at "
                                  "the rest frame; the object's transform animation is not captured"),
               ('WORLD', "World", "World coordinates: everything that moves the mesh is captured (its "
                                  "transform and parents too); the rig stands at the world origin")),
        default='LOCAL', options={'SKIP_SAVE'})
    # The program's bind-pose option (binding to the topology file's
    # positions instead of a cached frame) is on its way; its choice goes
    # here: bind to the undeformed mesh instead of the rest frame. See
    # DecomposeJob._topology_positions and core.build_command's "bind_pose".


SETTING_NAMES = tuple(DecomposeSettings.__annotations__)


class VANTREL_PG_settings(DecomposeSettings, bpy.types.PropertyGroup):
    """The panel's settings, kept with the scene."""


# ---------------------------------------------------------------------------
# Preferences


def addon_preferences(context):
    addon = context.preferences.addons.get(__name__)
    return addon.preferences if addon else None


class VANTREL_AP_preferences(bpy.types.AddonPreferences):
    bl_idname = __name__

    program_path: StringProperty(
        name="vantrel Program",
        description="The vantrel program; empty: one beside the add-on, else one on PATH",
        subtype='FILE_PATH', default="")
    extra_options: StringProperty(
        name="Extra Options",
        description="Further options for `vantrel decompose`, as on a command line (e.g. --search 0 -j 4)",
        default="")

    def draw(self, context):
        layout = self.layout
        layout.prop(self, "program_path")
        program, problem = core.find_program(bpy.path.abspath(self.program_path), ADDON_DIR)
        row = layout.row()
        if program:
            row.label(text="Uses " + program, icon='CHECKMARK')
        else:
            row.alert = True
            row.label(text=problem, icon='ERROR')
        layout.prop(self, "extra_options")


def find_program(context):
    prefs = addon_preferences(context)
    configured = bpy.path.abspath(prefs.program_path) if prefs and prefs.program_path else ""
    return core.find_program(configured, ADDON_DIR)


def extra_options(context):
    prefs = addon_preferences(context)
    text = prefs.extra_options if prefs else ""
    try:
        return shlex.split(text)
    except ValueError as error:
        raise Failure("the add-on's extra options cannot be read (%s): %s" % (error, text)) from None


# ---------------------------------------------------------------------------
# The job


def _ensure_gltf_importer():
    if hasattr(bpy.types, "IMPORT_SCENE_OT_gltf"):
        return
    try:
        import addon_utils
        addon_utils.enable("io_scene_gltf2", default_set=False)
    except Exception:  # noqa: BLE001 (told below)
        pass
    if not hasattr(bpy.types, "IMPORT_SCENE_OT_gltf"):
        raise Failure("Blender's glTF importer (the add-on \"Import-Export: glTF 2.0 format\") is not "
                      "available; enable it in Preferences > Add-ons")


# The data collections an import may add to; what the job added is removed
# when it fails after importing. Objects come first: they use the others.
_IMPORTED_KINDS = ("objects", "meshes", "armatures", "actions", "materials", "images", "textures",
                   "node_groups", "cameras", "lights", "collections")

# Everything that takes longer than this in one step of the interface's timer
# is cut into steps; the operator's timer fires this often.
TIMER_SECONDS = 0.05
STEP_BUDGET_SECONDS = 0.08


class DecomposeJob:
    """One decomposition of a mesh object: sample the evaluated mesh over the
    frames into a point cache, run the program, import its rig. Stepped by
    step() until it returns True; cancel() or a Failure ends it and leaves
    nothing behind (cleanup())."""

    WAITING = "waiting"

    def __init__(self, context, settings, program, options=()):
        self.scene = context.scene
        self.view_layer = context.view_layer
        self.settings = dict(settings)
        self.program = program
        self.options = list(options)
        self.status = "starting"
        self.fraction = 0.0
        self.messages = []  # (kind, text) reports for the operator
        self.result = None  # (armature object, mesh object) when done
        self.temp_dir = None
        self.run = None
        self.tracker = None
        self._frame_to_restore = None
        self._created = {}  # kind -> set of pointers of the data the job added
        self._selection = None  # (active, selected) before the import
        self._steps = None

        obj = context.active_object
        if obj is None or obj.type != 'MESH':
            raise Failure("Decompose to Armature needs an active mesh object"
                          + ("" if obj is None else " (%s is not a mesh)" % obj.name))
        if obj.mode != 'OBJECT':
            raise Failure("%s is in %s mode; switch to Object Mode first" % (obj.name, obj.mode.lower()))
        self.object = obj
        self.object_name = obj.name

        scene = self.scene
        s = self.settings
        first, last = ((scene.frame_start, scene.frame_end) if s["use_scene_range"]
                       else (s["frame_start"], s["frame_end"]))
        try:
            self.frames = core.sampled_frames(first, last, s["frame_step"])
            if len(self.frames) < 2:
                raise ValueError("the frame range %d to %d (every %d) gives a single frame; a decomposition "
                                 "needs at least two" % (first, last, s["frame_step"]))
            self.rest_frame = s["rest_frame"] if s["use_rest_frame"] else self.frames[0]
            self.rest_index = core.rest_index(self.frames, self.rest_frame)
        except ValueError as error:
            raise Failure(str(error)) from None
        _ensure_gltf_importer()

    # -- driving ------------------------------------------------------------

    def step(self, budget=STEP_BUDGET_SECONDS):
        """Does work for about `budget` seconds (or until it waits for the
        program); True when the job is done. Raises Failure."""
        if self._steps is None:
            self._steps = self._work()
        deadline = time.monotonic() + budget
        while True:
            try:
                state = next(self._steps)
            except StopIteration:
                return True
            if state == self.WAITING or time.monotonic() >= deadline:
                return False

    def run_to_end(self):
        while not self.step(budget=1.0):
            time.sleep(0.02)

    def cancel(self):
        self.status = "cancelled"
        self.cleanup(failed=True)

    def cleanup(self, failed):
        """Ends the program, removes the temporary folder, restores the frame;
        after a failure also removes what the job had added to the file."""
        if self._steps is not None:
            self._steps.close()
            self._steps = None
        if self.run is not None:
            self.run.stop()
            self.run = None
        if self.temp_dir and os.path.isdir(self.temp_dir):
            shutil.rmtree(self.temp_dir, ignore_errors=True)
        self.temp_dir = None
        if failed:
            self._remove_created()
            self._restore_selection()
        self._restore_frame()

    def _restore_frame(self):
        if self._frame_to_restore is not None:
            frame, subframe = self._frame_to_restore
            self._frame_to_restore = None
            try:
                self.scene.frame_set(frame, subframe=subframe)
            except ReferenceError:
                pass

    def _restore_selection(self):
        # The importer selects what it imports and makes it active.
        if self._selection is None:
            return
        active, selected = self._selection
        self._selection = None
        try:
            objects = self.view_layer.objects
            for obj in objects:
                obj.select_set(obj.name in selected)
            objects.active = objects.get(active) if active else None
        except ReferenceError:
            pass

    def _remove_created(self):
        # Objects first (they use the data), then the data.
        for kind in _IMPORTED_KINDS:
            pointers = self._created.get(kind)
            if not pointers:
                continue
            collection = getattr(bpy.data, kind)
            for item in [i for i in collection if i.as_pointer() in pointers]:
                try:
                    collection.remove(item)
                except (ReferenceError, RuntimeError):
                    pass
        self._created = {}

    def _object(self):
        try:
            obj = bpy.data.objects.get(self.object_name)
            same = obj is not None and obj == self.object
        except ReferenceError:
            same = False
        if not same:
            raise Failure("%s was removed or renamed while it was being decomposed" % self.object_name)
        return obj

    # -- the work, as a generator: each yield is a point where the interface
    # can take its turn ------------------------------------------------------

    def _work(self):
        yield from self._sample()
        yield from self._solve()
        self._import()
        self.fraction = 1.0
        self.status = "done"

    def _sample(self):
        scene = self.scene
        self._frame_to_restore = (scene.frame_current, scene.frame_subframe)
        self.temp_dir = tempfile.mkdtemp(prefix="vantrel-blender-")
        self.cache_path = os.path.join(self.temp_dir, "animation.pc2")
        self.topology_path = os.path.join(self.temp_dir, "topology.obj")
        world = self.settings["space"] == 'WORLD'
        wanted = set(self.frames)
        count = len(self.frames)
        writer = None
        vertex_count = None
        first_frame = None
        sampled = 0
        import numpy as np
        try:
            # Every frame from the first is played, in order, so that
            # simulations step frame by frame; the wanted ones are kept.
            for frame in range(self.frames[0], self.frames[-1] + 1):
                scene.frame_set(frame)
                if frame not in wanted:
                    yield None
                    continue
                obj = self._object()
                depsgraph = bpy.context.evaluated_depsgraph_get()
                evaluated = obj.evaluated_get(depsgraph)
                mesh = evaluated.to_mesh()
                try:
                    n = len(mesh.vertices)
                    if vertex_count is None:
                        if n == 0:
                            raise Failure("%s has no vertices at frame %d" % (obj.name, frame))
                        vertex_count, first_frame = n, frame
                        writer = core.Pc2Writer(self.cache_path, n, count, start_frame=self.frames[0],
                                                sample_rate=self.settings["frame_step"])
                    elif n != vertex_count:
                        raise Failure(
                            "the vertex count of %s changes over the frames (%d at frame %d, %d at frame %d): "
                            "a rig needs one topology; disable the modifiers that add or remove vertices "
                            "(e.g. Remesh, Decimate, Boolean, geometry nodes)"
                            % (obj.name, vertex_count, first_frame, n, frame))
                    positions = np.empty(3 * n, dtype=np.float32)
                    mesh.vertices.foreach_get("co", positions)
                    if world:
                        m = np.array(evaluated.matrix_world, dtype=np.float64)
                        p = positions.reshape(-1, 3).astype(np.float64) @ m[:3, :3].T + m[:3, 3]
                        positions = p.astype(np.float32).reshape(-1)
                    if not np.all(np.isfinite(positions)):
                        raise Failure("%s has coordinates that are not finite at frame %d" % (obj.name, frame))
                    writer.write_frame(positions)
                    if frame == self.rest_frame:
                        self.rest_positions = positions.copy()
                        self.rest_matrix = evaluated.matrix_world.copy()
                        self._write_topology(mesh, self._topology_positions(positions))
                finally:
                    evaluated.to_mesh_clear()
                sampled += 1
                self.fraction = 0.15 * sampled / count
                self.status = "sampling frame %d (%d of %d)" % (frame, sampled, count)
                yield None
            writer.close()
            writer = None
        finally:
            if writer is not None:
                writer.abandon()
            self._restore_frame()
        self.vertex_count = vertex_count

    def _topology_positions(self, rest_positions):
        # The positions the topology file carries. Today the program binds
        # the rig to the rest frame of the cache and reads only faces and uvs
        # from this file. The program's coming bind-pose option binds to these
        # positions instead: then write the undeformed mesh here (its
        # vertices in the chosen space) and pass the option through
        # core.build_command's settings["bind_pose"].
        return rest_positions

    def _write_topology(self, mesh, positions):
        import numpy as np
        mesh.calc_loop_triangles()
        count = len(mesh.loop_triangles)
        triangles = np.empty(3 * count, dtype=np.int64)
        mesh.loop_triangles.foreach_get("vertices", triangles)
        triangles = triangles.reshape(-1, 3).tolist()
        uvs = uv_triangles = None
        layer = mesh.uv_layers.active
        if layer is not None and count:
            loops = np.empty(3 * count, dtype=np.int64)
            mesh.loop_triangles.foreach_get("loops", loops)
            uv = np.empty(2 * len(mesh.loops), dtype=np.float32)
            layer.data.foreach_get("uv", uv)
            uvs = uv.tolist()
            uv_triangles = loops.reshape(-1, 3).tolist()
        core.write_obj(self.topology_path, positions.tolist(), triangles, uvs, uv_triangles)

    def _solve(self):
        self.output_path = os.path.join(self.temp_dir, "rig.glb")
        self.report_path = os.path.join(self.temp_dir, "report.json")
        settings = {
            "joints": self.settings["joints"],
            "influences": self.settings["influences"],
            "iterations": self.settings["iterations"],
            "affine": self.settings["affine"],
            "rest_index": self.rest_index,
            # The importer turns times into frames at the scene's integer rate:
            # frame k of the cache comes back as frame k, then goes to its
            # scene frame (_retime).
            "fps": self.scene.render.fps,
            "extra_arguments": self.options,
        }
        command = core.build_command(self.program, self.cache_path, self.topology_path, self.output_path,
                                     self.report_path, settings)
        self.tracker = core.ProgressTracker(core.expected_iterations(self.settings["iterations"], self.options))
        self.status = "starting vantrel"
        try:
            self.run = core.ProgramRun(command, os.path.join(self.temp_dir, "stdout.txt"), cwd=self.temp_dir)
        except OSError as error:
            raise Failure("the vantrel program %s cannot be started: %s" % (self.program, error)) from None
        while True:
            code = self.run.poll()
            for line in self.run.new_lines():
                self.tracker.feed(line)
            self.fraction = 0.15 + 0.8 * self.tracker.fraction
            self.status = self.tracker.status
            if code is not None:
                break
            yield self.WAITING
        for line in self.run.new_lines():
            self.tracker.feed(line)
        lines = self.run.lines
        self.run.close()
        self.run = None
        if code != 0:
            raise Failure("vantrel failed: " + core.failure_message(lines, code))
        try:
            self.figures = core.read_report(self.report_path)
            self.joint_count, self.weights = core.read_skin(self.output_path)
            self.rig_document, _ = core.read_glb(self.output_path)
        except (OSError, ValueError, KeyError, IndexError) as error:
            raise Failure("the program's results cannot be read: %s" % error) from None
        if len(self.weights) != self.vertex_count:
            raise Failure("the rig has %d vertices, the mesh %d" % (len(self.weights), self.vertex_count))
        self._check_rest_pose()
        self.fraction = 0.95
        self.status = "importing the rig"
        yield None

    def _check_rest_pose(self):
        """The rig must be bound to the rest frame's mesh, which the new mesh
        takes its positions from."""
        import numpy as np
        stored = np.array(core.rest_positions(self.output_path), dtype=np.float64).reshape(-1, 3)
        # glTF's Y-up back to Blender's Z-up: (x, y, z) -> (x, -z, y).
        stored = np.stack((stored[:, 0], -stored[:, 2], stored[:, 1]), axis=1)
        rest = self.rest_positions.reshape(-1, 3).astype(np.float64)
        off = float(np.max(np.abs(stored - rest)))
        if off > 1e-5 * (1.0 + float(np.max(np.abs(rest)))):
            raise Failure("the rig is not bound to the mesh at the rest frame %d (off by %g)"
                          % (self.rest_frame, off))

    # -- import ---------------------------------------------------------------

    def _import(self):
        armature, joint_names = self._import_rig_file()
        # The new mesh: the evaluated mesh of the rest frame, with every
        # layer (uvs, colours, normals, materials), at the rest positions the
        # rig was bound with.
        mesh = self._rest_mesh()
        original = self._object()
        collections = list(original.users_collection) or [self.scene.collection]
        self._place_armature(armature, collections)
        skinned = self._skinned_object(mesh, armature, joint_names, collections, original)
        self._retime(armature, self.object_name)

        for obj in self.view_layer.objects:
            if obj.select_get():
                obj.select_set(False)
        armature.select_set(True)
        skinned.select_set(True)
        self.view_layer.objects.active = armature
        self.result = (armature, skinned)
        self.messages.append(('INFO', "%s: %s" % (armature.name, core.summary(self.figures))))
        for note in self.figures["notes"] + self.tracker.notes:
            # The axes are the add-on's business (see core.build_command).
            if note.startswith("converted from Z-up"):
                continue
            if note not in [text for _, text in self.messages]:
                self.messages.append(('INFO', note))

    def _import_rig_file(self):
        """Imports the program's rig with Blender's glTF importer and keeps
        its armature (with the action), removing its mesh: the armature and
        the names of the skin's joints' bones, in the skin's order."""
        import numpy as np
        # Blender 3.4's glTF importer still uses numpy's alias np.bool, which
        # numpy 1.24 removed (numpy 2 has it again). vars(): hasattr() would
        # warn.
        if "bool" not in vars(np):
            np.bool = bool
        before = {kind: {i.as_pointer() for i in getattr(bpy.data, kind)} for kind in _IMPORTED_KINDS}
        objects = self.view_layer.objects
        self._selection = (objects.active.name if objects.active else None,
                           {o.name for o in objects if o.select_get()})
        try:
            result = bpy.ops.import_scene.gltf(filepath=self.output_path)
        except Exception as error:  # noqa: BLE001 (the importer's errors are reports)
            self._note_created(before)
            raise Failure("Blender's glTF importer failed on the rig: %s" % str(error).strip()) from None
        self._note_created(before)
        if 'FINISHED' not in result:
            raise Failure("Blender's glTF importer did not import the rig")

        imported = [o for o in bpy.data.objects if o.as_pointer() in self._created.get("objects", ())]
        armatures = [o for o in imported if o.type == 'ARMATURE']
        if len(armatures) != 1:
            raise Failure("the imported rig has %d armatures, not one" % len(armatures))
        armature = armatures[0]
        joint_names = self._joint_names(imported, armature)

        # The importer's other objects (its mesh) give way to ours.
        armature.parent = None
        for obj in [o for o in imported if o is not armature]:
            data = obj.data
            bpy.data.objects.remove(obj)
            if isinstance(data, bpy.types.Mesh) and data.users == 0:
                bpy.data.meshes.remove(data)
        for material in [m for m in bpy.data.materials
                         if m.as_pointer() in self._created.get("materials", ()) and m.users == 0]:
            bpy.data.materials.remove(material)
        return armature, joint_names

    def _place_armature(self, armature, collections):
        """Names the armature after the object, puts it in the object's
        collections, where the object stands at the rest frame (local
        space) or at the origin (world space)."""
        armature.name = self.object_name + "_rig"
        armature.data.name = self.object_name + "_rig"
        for collection in list(armature.users_collection):
            if collection not in collections:
                collection.objects.unlink(armature)
        for collection in collections:
            if armature.name not in collection.objects:
                collection.objects.link(armature)
        if self.settings["space"] == 'LOCAL':
            armature.matrix_world = self.rest_matrix
        else:
            armature.matrix_world.identity()

    def _skinned_object(self, mesh, armature, joint_names, collections, original):
        """The object "<name>_skinned": the rest mesh, one vertex group per
        joint with the rig's weights, an Armature modifier, parented to the
        armature, with the original's materials."""
        mesh.name = self.object_name + "_skinned"
        skinned = bpy.data.objects.new(self.object_name + "_skinned", mesh)
        self._created.setdefault("objects", set()).add(skinned.as_pointer())
        for collection in collections:
            collection.objects.link(skinned)
        skinned.vertex_groups.clear()  # groups the original mesh had
        groups = [skinned.vertex_groups.new(name=name) for name in joint_names]
        for v, influences in enumerate(self.weights):
            for joint, weight in influences:
                groups[joint].add((v,), weight, 'REPLACE')
        skinned.parent = armature
        skinned.matrix_parent_inverse.identity()
        skinned.matrix_basis.identity()
        modifier = skinned.modifiers.new("Armature", 'ARMATURE')
        modifier.object = armature
        # Materials linked to the object rather than its mesh.
        for i, slot in enumerate(original.material_slots):
            if i < len(skinned.material_slots) and slot.link == 'OBJECT':
                skinned.material_slots[i].link = 'OBJECT'
                skinned.material_slots[i].material = slot.material
        return skinned

    def _note_created(self, before):
        for kind in _IMPORTED_KINDS:
            added = {i.as_pointer() for i in getattr(bpy.data, kind)} - before[kind]
            if added:
                self._created.setdefault(kind, set()).update(added)

    def _joint_names(self, imported, armature):
        # The importer names each vertex group after the bone of the skin's
        # joint of the same index.
        for obj in imported:
            if obj.type == 'MESH' and len(obj.vertex_groups) == self.joint_count:
                names = [g.name for g in obj.vertex_groups]
                break
        else:
            skin = self.rig_document["skins"][0]
            names = [self.rig_document["nodes"][j].get("name", "") for j in skin["joints"]]
        missing = [n for n in names if n not in armature.data.bones]
        if missing:
            raise Failure("the imported armature lacks the bones %s" % ", ".join(missing[:5]))
        return names

    def _rest_mesh(self):
        scene = self.scene
        self._frame_to_restore = (scene.frame_current, scene.frame_subframe)
        try:
            scene.frame_set(self.rest_frame)
            depsgraph = bpy.context.evaluated_depsgraph_get()
            evaluated = self._object().evaluated_get(depsgraph)
            mesh = bpy.data.meshes.new_from_object(evaluated, preserve_all_data_layers=True, depsgraph=depsgraph)
        finally:
            self._restore_frame()
        self._created.setdefault("meshes", set()).add(mesh.as_pointer())
        if len(mesh.vertices) != self.vertex_count:
            raise Failure("%s has %d vertices at the rest frame %d now, %d when sampled"
                          % (self.object_name, len(mesh.vertices), self.rest_frame, self.vertex_count))
        mesh.vertices.foreach_set("co", self.rest_positions)
        mesh.update()
        return mesh

    def _retime(self, armature, base):
        """The importer keys the cache's frame k at frame k: move every key to
        its scene frame, and keep the action alone (no stashed NLA track)."""
        data = armature.animation_data
        action = data.action if data else None
        if action is None:
            raise Failure("the imported rig has no action")
        frames = self.frames
        for curve in action.fcurves:
            points = curve.keyframe_points
            n = len(points)
            co = [0.0] * (2 * n)
            left = [0.0] * (2 * n)
            right = [0.0] * (2 * n)
            points.foreach_get("co", co)
            points.foreach_get("handle_left", left)
            points.foreach_get("handle_right", right)
            for i in range(0, 2 * n, 2):
                k = int(round(co[i]))
                if k < 0 or k >= len(frames) or abs(co[i] - k) > 1e-3:
                    raise Failure("the rig's key at %g is not one of the sampled frames" % co[i])
                shift = frames[k] - co[i]
                co[i] += shift
                left[i] += shift
                right[i] += shift
            points.foreach_set("co", co)
            points.foreach_set("handle_left", left)
            points.foreach_set("handle_right", right)
            curve.update()
        for track in list(data.nla_tracks):
            data.nla_tracks.remove(track)
        action.name = base + "_rig_action"
        data.action = action


# ---------------------------------------------------------------------------
# The operator


_active_job = None  # the job the interface is running, if any


def _settings_from(operator, context):
    """The operator's settings: those it was given, else the scene's (the
    panel's)."""
    stored = getattr(context.scene, "vantrel", None)
    values = {}
    for name in SETTING_NAMES:
        if operator.properties.is_property_set(name) or stored is None:
            values[name] = getattr(operator, name)
        else:
            values[name] = getattr(stored, name)
    return values


class VANTREL_OT_decompose(DecomposeSettings, bpy.types.Operator):
    """Turn the active mesh's animation into an armature with skin weights and an action (vantrel)"""
    bl_idname = "object.vantrel_decompose"
    bl_label = "Decompose to Armature"
    bl_options = {'UNDO'}

    _job = None
    _timer = None

    def _make_job(self, context):
        global _active_job
        if _active_job is not None:
            raise Failure("a decomposition is already running; wait for it or press Esc")
        program, problem = find_program(context)
        if program is None:
            raise Failure(problem)
        return DecomposeJob(context, _settings_from(self, context), program, extra_options(context))

    def _finish(self, context, job):
        for kind, text in job.messages:
            self.report({kind}, text)
        status = job.messages[0][1] if job.messages else ""
        context.window_manager.vantrel_status = status

    def _fail(self, context, message):
        self.report({'ERROR'}, message)
        context.window_manager.vantrel_status = "Failed: " + message
        return {'CANCELLED'}

    def execute(self, context):
        try:
            job = self._make_job(context)
        except Failure as failure:
            return self._fail(context, str(failure))
        try:
            job.run_to_end()
        except Failure as failure:
            job.cleanup(failed=True)
            return self._fail(context, str(failure))
        except BaseException as error:  # noqa: BLE001 (a report, not a traceback, for the user)
            traceback.print_exc()
            job.cleanup(failed=True)
            if isinstance(error, KeyboardInterrupt):
                return self._fail(context, "cancelled")
            return self._fail(context, "internal error: %s: %s" % (type(error).__name__, error))
        job.cleanup(failed=False)
        self._finish(context, job)
        return {'FINISHED'}

    def invoke(self, context, event):
        global _active_job
        if context.window is None or bpy.app.background:
            return self.execute(context)
        try:
            job = self._make_job(context)
        except Failure as failure:
            return self._fail(context, str(failure))
        self._job = job
        _active_job = job
        wm = context.window_manager
        self._timer = wm.event_timer_add(TIMER_SECONDS, window=context.window)
        wm.modal_handler_add(self)
        wm.progress_begin(0, 1000)
        self._show(context)
        return {'RUNNING_MODAL'}

    def _show(self, context):
        job = self._job
        text = "vantrel: %s (%d%%) - Esc to cancel" % (job.status, int(100 * job.fraction))
        context.window_manager.vantrel_status = text
        context.window_manager.progress_update(int(1000 * job.fraction))
        if context.workspace is not None:
            context.workspace.status_text_set(text)
        for area in context.screen.areas if context.screen else ():
            if area.type == 'VIEW_3D':
                area.tag_redraw()

    def _end(self, context):
        global _active_job
        wm = context.window_manager
        if self._timer is not None:
            wm.event_timer_remove(self._timer)
            self._timer = None
        wm.progress_end()
        if context.workspace is not None:
            context.workspace.status_text_set(None)
        _active_job = None
        for area in context.screen.areas if context.screen else ():
            if area.type == 'VIEW_3D':
                area.tag_redraw()

    def modal(self, context, event):
        job = self._job
        if event.type == 'ESC' and event.value == 'PRESS':
            job.cancel()
            self._end(context)
            return self._fail(context, "cancelled: the decomposition of %s was stopped" % job.object_name)
        # Every timer's events come here (Python cannot tell them apart):
        # a step more is harmless.
        if event.type != 'TIMER':
            return {'PASS_THROUGH'}
        try:
            done = job.step()
            if not done:
                self._show(context)
                return {'RUNNING_MODAL'}
        except Failure as failure:
            job.cleanup(failed=True)
            self._end(context)
            return self._fail(context, str(failure))
        except Exception as error:  # noqa: BLE001 (a report, not a traceback, for the user)
            traceback.print_exc()
            job.cleanup(failed=True)
            self._end(context)
            return self._fail(context, "internal error: %s: %s" % (type(error).__name__, error))
        job.cleanup(failed=False)
        self._end(context)
        self._finish(context, job)
        return {'FINISHED'}

    def cancel(self, context):
        # Blender ends the modal operator (the window closes, a new file).
        if self._job is not None:
            self._job.cancel()
            try:
                self._end(context)
            except (AttributeError, ReferenceError, RuntimeError):
                pass


# ---------------------------------------------------------------------------
# Interface


class VANTREL_PT_decompose(bpy.types.Panel):
    bl_label = "Decompose to Armature"
    bl_idname = "VANTREL_PT_decompose"
    bl_space_type = 'VIEW_3D'
    bl_region_type = 'UI'
    bl_category = "vantrel"
    bl_context = "objectmode"

    def draw(self, context):
        layout = self.layout
        layout.use_property_split = True
        layout.use_property_decorate = False
        settings = context.scene.vantrel
        obj = context.active_object

        col = layout.column(align=True)
        col.prop(settings, "joints")
        col.prop(settings, "influences")
        col.prop(settings, "iterations")
        layout.prop(settings, "affine")
        layout.prop(settings, "space")

        col = layout.column(align=True)
        col.prop(settings, "use_scene_range", text="Scene Range")
        sub = col.column(align=True)
        sub.enabled = not settings.use_scene_range
        sub.prop(settings, "frame_start", text="Frame Start")
        sub.prop(settings, "frame_end", text="End")
        col.prop(settings, "frame_step")

        row = layout.row(heading="Rest Frame")
        row.prop(settings, "use_rest_frame", text="")
        sub = row.row()
        sub.enabled = settings.use_rest_frame
        sub.prop(settings, "rest_frame", text="")

        row = layout.row()
        row.scale_y = 1.4
        row.enabled = _active_job is None
        row.operator(VANTREL_OT_decompose.bl_idname, icon='ARMATURE_DATA')
        if obj is None or obj.type != 'MESH':
            layout.label(text="Select a mesh object", icon='INFO')
        status = context.window_manager.vantrel_status
        if status:
            box = layout.column(align=True).box()
            # About 7.5 pixels a character at a scale of 1, less the margins.
            width = max(16, int(context.region.width / (7.5 * context.preferences.system.ui_scale)) - 3)
            for line in _wrap(status, width):
                box.label(text=line)


def _wrap(text, width):
    lines, line = [], ""
    for word in text.split():
        if line and len(line) + 1 + len(word) > width:
            lines.append(line)
            line = word
        else:
            line = (line + " " + word) if line else word
    if line:
        lines.append(line)
    return lines


def _menu(self, context):
    self.layout.separator()
    self.layout.operator(VANTREL_OT_decompose.bl_idname, icon='ARMATURE_DATA')


_classes = (VANTREL_PG_settings, VANTREL_AP_preferences, VANTREL_OT_decompose, VANTREL_PT_decompose)


def register():
    for cls in _classes:
        bpy.utils.register_class(cls)
    bpy.types.Scene.vantrel = PointerProperty(type=VANTREL_PG_settings)
    bpy.types.WindowManager.vantrel_status = StringProperty(name="vantrel Status", default="")
    bpy.types.VIEW3D_MT_object.append(_menu)


def unregister():
    global _active_job
    if _active_job is not None:
        _active_job.cancel()
        _active_job = None
    bpy.types.VIEW3D_MT_object.remove(_menu)
    del bpy.types.WindowManager.vantrel_status
    del bpy.types.Scene.vantrel
    for cls in reversed(_classes):
        bpy.utils.unregister_class(cls)

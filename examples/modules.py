"""Machine modules of the example handler, for the scripts beside this file.

The devices are those of handler_settings.yaml: a gantry (Akribis axes 15
and 16), a lift axis (Festo 13) and a gripper rotation (Festo 14), the
gripper's IO module (11), the valves and signal lamps (10) and the part
sensors (1). Module 2 (analog vacuum readings) has no digital pins and is
not declared. Positions are in mm for the linear axes and in degrees for
the rotation; velocities, accelerations and decelerations, as in the
configuration, are fractions of each axis' rated maximum (1 = 50 mm/s and
500 mm/s^2, or 50 and 500 degrees for the rotation).

A script names these modules by the names below: `@x move input`,
`@gripper set valve on`, `@arm pick from input_tray`. The scripts beside this
file (*.zarn) use them; `zarn check SCRIPT` finds this file beside a script.
"""

from Zarn._zarnmodule import Axis, Handler, IOModule, MachineModule, Tray, operation

# --- axes -------------------------------------------------------------------------

# Gantry X: parks at the left end, over the input tray, the camera, the
# output tray.
x = Axis(
    "x",
    device=15,
    positions={"park": 0.0, "input": 150.0, "camera": 300.0, "output": 450.0},
    velocity=1.0,
    acceleration=1.0,
    deceleration=1.0,
    limits=(0.0, 600.0),
)

# Gantry Y, on the same carriage controller (axis B).
y = Axis(
    "y",
    device=16,
    positions={"park": 0.0, "input": 110.0, "camera": 200.0, "output": 120.0},
    velocity=1.0,
    acceleration=1.0,
    deceleration=1.0,
    limits=(0.0, 400.0),
)

# Lift axis Z, counting downwards from the top: "up" clears every fixture.
z = Axis(
    "z",
    device=13,
    positions={"up": 0.0, "camera": 20.0, "conveyor": 95.0},
    velocity=1.0,
    acceleration=1.0,
    deceleration=1.0,
    limits=(0.0, 120.0),
)

# Gripper rotation; homing method 35 takes the current place as zero.
r = Axis(
    "r",
    device=14,
    positions={"zero": 0.0, "across": 90.0},
    velocity=1.0,
    homing_method=35,
    limits=(-180.0, 180.0),
)

# --- IO modules -------------------------------------------------------------------

# The gripper jaws: one valve closes them, two sensors report closed and open.
gripper = IOModule(
    "gripper",
    device=11,
    outputs={"valve": 0},
    inputs={"closed": 0, "open": 1},
    input_timeout=2.0,
)

# Valves and signal lamps (32 outputs).
panel = IOModule(
    "panel",
    device=10,
    outputs={
        "air": 0,
        "blow_off": 1,
        "conveyor": 2,
        "lamp_yellow": 21,
        "lamp_green": 22,
        "lamp_red": 23,
    },
)

# Part and tray sensors, the door switch, the start button and the camera's
# verdict (16 inputs). The camera shows part_ok on while the part it saw
# last passes; on the simulated controller nobody wires it, so an operator
# plays the camera there (`input 1 10 1` passes parts, `input 1 10 0`
# refuses them).
sensors = IOModule(
    "sensors",
    device=1,
    inputs={
        "input_tray_present": 0,
        "output_tray_present": 1,
        "part_on_conveyor": 2,
        "door_closed": 8,
        "start_button": 9,
        "part_ok": 10,
    },
    input_timeout=30.0,
)

# --- trays ------------------------------------------------------------------------

# Blanks arrive in a 3 x 4 tray: slot 1 at the front left, 25 mm between
# columns, 30 mm between rows.
input_tray = Tray(
    "input_tray", rows=3, cols=4, origin=(110.0, 80.0), pitch=(25.0, 30.0), height=85.0
)

# Finished parts leave in a 2 x 5 tray, turned a quarter.
output_tray = Tray(
    "output_tray",
    rows=2,
    cols=5,
    origin=(400.0, 100.0),
    pitch=(30.0, 40.0),
    height=80.0,
    angle=90.0,
)

# Rejected parts go to one of two bins.
reject_bins = Tray("reject_bins", slots=[(560.0, 60.0), (560.0, 140.0)], height=60.0)

# --- the arm ----------------------------------------------------------------------

arm = Handler(
    "arm",
    x=x,
    y=y,
    z=z,
    r=r,
    gripper=gripper,
    grip="valve",
    gripped="closed",
    released="open",
    travel="up",
    grip_time=0.1,
    trays=[input_tray, output_tray, reject_bins],
)


# --- a module of our own ------------------------------------------------------------


class Camera(MachineModule):
    """The inspection camera, reached outside the controller. A real one
    would trigger the camera's own interface here; this one reports what it
    would do, so the example runs on any machine."""

    @operation
    def inspect(self, recipe, shots=1):
        self.machine.log(f"camera: inspect with recipe {recipe!r}, {shots} shot(s)")


camera = Camera("camera")

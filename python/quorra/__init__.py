"""Load, walk, look up and save CAD assemblies held in memory by quorra.

    import quorra
    asm = quorra.load("gearbox.asm")
    for occ in asm.walk():
        print(occ.roadmap, occ.document, occ.world_matrix[3, :3])
"""
from ._quorra import *  # noqa: F401,F403
from ._quorra import _cpp_walk  # noqa: F401  (the benchmark's C++ reference)

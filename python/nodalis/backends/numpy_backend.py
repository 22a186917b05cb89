"""The in-process engine: every node is a table of numpy columns, computed at once.

It is the reference the other engines are tested against, and it needs no
set-up: stages run fused chunk by chunk, everything else runs whole-column.
"""
from __future__ import annotations

from typing import Any, List, Optional, Sequence

import pandas as pd

from nodalis import evaluate as ev
from nodalis.program import Step
from nodalis.table import Table


class NumpyBackend:
    """Runs each node on whole numpy columns in this process."""

    def source(self, step: Step) -> Table:
        return ev.guarded(step, ev.source_table, step, step.data)

    def op(self, step: Step, inputs: Sequence[Table]) -> Table:
        return ev.guarded(step, ev.op_table, step, inputs)

    def stage(self, step: Step, inputs: Sequence[Table]) -> Table:
        return ev.guarded(step, ev.stage_table, step, inputs)

    def exchange(self, step: Step, inputs: Sequence[Table]) -> Table:
        return ev.guarded(step, ev.exchange_table, step, inputs[0])

    def reduction(self, step: Step, inputs: Sequence[Table]) -> Table:
        return ev.guarded(step, ev.reduction_table, step, inputs[0])

    def external(self, step: Step, inputs: Sequence[Table]) -> Table:
        return ev.guarded(step, ev.external_table, step, inputs)

    def frames(self, values: Sequence[Table], compute: bool, progress: Optional[bool]) -> List[Any]:
        # One frame object per request, repeats included; pandas' copy-on-write
        # keeps a change to one from showing in another.
        frames: List[pd.DataFrame] = [t.to_frame() for t in values]
        return frames

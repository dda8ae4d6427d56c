from . import flow as flow
from .flow import FlowAPIWrapper

# The package publishes the wrapper under this name only.
MerrowFlow = FlowAPIWrapper

__test__: dict[str, object]

"""The node's flow API, as the ``merrow_sdk.patchbay`` package sees it.

The package imports this module when it is imported and publishes its
``FlowAPIWrapper`` as ``merrow_sdk.patchbay.MerrowFlow``.
"""


class FlowAPIWrapper:
    """Integration point for the node's flow API.

    A placeholder with no behaviour of its own: a node that provides a flow
    API puts its wrapper here. The package binds this object as
    ``MerrowFlow`` and never calls or inspects it.
    """

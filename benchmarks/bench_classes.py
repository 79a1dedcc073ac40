"""Small connection classes that the benchmark registers.

They live in a module file so that ``inspect.getfile`` finds their source.
"""


class Connection:
    def connect(self):
        return type(self).__name__


class AlphaConnection(Connection):
    pass


class BetaConnection(Connection):
    pass


class GammaConnection(Connection):
    pass


class DeltaConnection(Connection):
    pass


class EpsilonConnection(Connection):
    pass


class ZetaConnection(Connection):
    pass


class EtaConnection(Connection):
    pass


class ThetaConnection(Connection):
    pass


class DualConnection(Connection):
    pass


class FlavourConnection(Connection):
    pass


CLASSES = [AlphaConnection, BetaConnection, GammaConnection, DeltaConnection,
           EpsilonConnection, ZetaConnection, EtaConnection, ThetaConnection]

"""The exceptions of the package.

Every failure is a WsbridgeError. The more specific ones also derive from the
built-in exception a Python user would catch for the same situation:

* CaptureClosedError (also ValueError): a closed capture, or an object of
  one, was used; like I/O on a closed file.
* EngineShutDownError (also RuntimeError): the engine of this process was
  shut down and cannot start again.
* StaleObjectError (also ValueError): an object the library can no longer
  answer for, such as a tree node after the next dissection.
  ForeignObjectError, its subclass, is a packet of another capture.
* UnknownFieldError (also KeyError): a field or group name the engine or
  the registry does not know.
* EngineOutOfMemoryError (also MemoryError): the engine ran out of memory
  while dissecting (status WSB_OUT_OF_MEMORY).
* NotSupportedError (also NotImplementedError): the loaded library lacks
  the export a call needs.
* InvalidSettingError (also ValueError): a display filter or a preference
  that the engine refuses.
* StateError (also RuntimeError): a call made out of order, such as asking
  for the matched fields when no packet is current.
"""

from .native import Status

__all__ = [
    "CaptureClosedError",
    "EngineOutOfMemoryError",
    "EngineShutDownError",
    "ForeignObjectError",
    "InvalidSettingError",
    "NotSupportedError",
    "StaleObjectError",
    "StateError",
    "UnknownFieldError",
    "WsbridgeError",
]


class WsbridgeError(Exception):
    """A failed call: `status` is the library's status (Status.FAILED,
    Status.OUT_OF_MEMORY) and `message` the text of gGetLastError() at that
    moment, or the binding's own text (str(error) is the message)."""

    def __init__(self, status, message, operation=None):
        super().__init__(message)
        self.status = status
        self.message = message
        self.operation = operation

    def __str__(self):
        return self.message

    def __reduce__(self):
        # Rebuilt with its three arguments (and any attribute set later) when
        # it travels between processes.
        return (type(self), (self.status, self.message, self.operation), self.__dict__)

    def __repr__(self):
        return "%s(status=%r, message=%r)" % (type(self).__name__, self.status, self.message)


class CaptureClosedError(WsbridgeError, ValueError):
    """The capture (or the capture of the object used) is closed."""


class EngineShutDownError(WsbridgeError, RuntimeError):
    """The engine of this process was shut down."""


class StaleObjectError(WsbridgeError, ValueError):
    """The library can no longer answer for the object: what it describes
    was replaced (a tree node after the next dissection, a stream after the
    next follow)."""


class ForeignObjectError(StaleObjectError):
    """A packet (Summary or Locator) of another capture than the one used."""


class UnknownFieldError(WsbridgeError, KeyError):
    """A field or group name that the engine or the registry does not know."""


class EngineOutOfMemoryError(WsbridgeError, MemoryError):
    """The engine ran out of memory while dissecting."""


class NotSupportedError(WsbridgeError, NotImplementedError):
    """The loaded library lacks the export that the call needs."""


class InvalidSettingError(WsbridgeError, ValueError):
    """A display filter that does not compile, or a preference the engine
    does not know or cannot set (the message is the engine's reason)."""


class StateError(WsbridgeError, RuntimeError):
    """A call made out of order: it needs a current packet (one read or
    re-read and not yet replaced by the end of the capture, a close or an
    open) and there is none."""


def error_for(status, message, operation, failure=WsbridgeError):
    """The exception for a status other than Status.OK: `failure` (a
    WsbridgeError class) for Status.FAILED, EngineOutOfMemoryError for
    Status.OUT_OF_MEMORY."""
    if status in Status.__members__.values():
        status = Status(status)
    if status == Status.OUT_OF_MEMORY:
        return EngineOutOfMemoryError(status, message, operation)
    return failure(status, message, operation)

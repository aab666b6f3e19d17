# SPDX-License-Identifier: GPL-2.0-or-later
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
* NotSupportedError (also NotImplementedError): the request cannot be met
  in this build or this file format (WSB_E_UNSUPPORTED).
* InvalidSettingError (also ValueError): a display filter or a preference
  that the engine refuses.
* StateError (also RuntimeError): a call made out of order, such as asking
  for the matched fields when no packet is current.
* CapturePermissionError (also PermissionError): the capture program may
  not capture on the interface (WSB_E_PERMISSION).

Which class a failure of the library raises follows the failure's code
(gGetLastErrorCode, the WSB_E_* codes of wsbridge.h) through the one table
CODE_ERRORS; a code the table does not list raises the class the call names,
WsbridgeError unless it names another.
"""

import enum

from .native import Status

__all__ = [
    "CODE_ERRORS",
    "CaptureClosedError",
    "CapturePermissionError",
    "ErrorCode",
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

    def __init__(self, status, message, operation=None, code=None):
        super().__init__(message)
        self.status = status
        self.message = message
        self.operation = operation
        self.code = code  # the ErrorCode of a failure of the library, else None

    def __str__(self):
        return self.message

    def __reduce__(self):
        # Rebuilt with its three arguments (and any attribute set later) when
        # it travels between processes.
        return (type(self), (self.status, self.message, self.operation, self.code), self.__dict__)

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
    """The request cannot be met in this build of the library or in this
    file format."""


class InvalidSettingError(WsbridgeError, ValueError):
    """A display filter that does not compile, or a preference the engine
    does not know or cannot set (the message is the engine's reason)."""


class StateError(WsbridgeError, RuntimeError):
    """A call made out of order: it needs a current packet (one read or
    re-read and not yet replaced by the end of the capture, a close or an
    open) and there is none."""


class CapturePermissionError(WsbridgeError, PermissionError):
    """The capture program (dumpcap) may not capture on the interface; the
    message names the usual mend (the wireshark group, or dumpcap's
    capabilities)."""


class ErrorCode(enum.IntEnum):
    """The WSB_E_* codes of wsbridge.h: what kind of failure the most recent
    one was."""
    NONE = 0
    NOT_STARTED = 1
    SHUT_DOWN = 2
    NO_CAPTURE = 3
    BAD_ARGUMENT = 4
    STALE = 5
    FILE = 6
    FILTER = 7
    PREFERENCE = 8
    ENGINE = 9
    OUT_OF_MEMORY = 10
    STATE = 11
    UNKNOWN_FIELD = 12
    LIMIT = 13
    UNSUPPORTED = 14
    PERMISSION = 15


# The exception class of each code that has one of its own.
CODE_ERRORS = {
    ErrorCode.SHUT_DOWN: EngineShutDownError,
    ErrorCode.NO_CAPTURE: CaptureClosedError,
    ErrorCode.STALE: StaleObjectError,
    ErrorCode.FILTER: InvalidSettingError,
    ErrorCode.PREFERENCE: InvalidSettingError,
    ErrorCode.OUT_OF_MEMORY: EngineOutOfMemoryError,
    ErrorCode.UNKNOWN_FIELD: UnknownFieldError,
    ErrorCode.UNSUPPORTED: NotSupportedError,
    ErrorCode.PERMISSION: CapturePermissionError,
}


def error_for(status, message, operation, failure=WsbridgeError, code=None):
    """The exception for a status other than Status.OK: EngineOutOfMemoryError
    for Status.OUT_OF_MEMORY; for Status.FAILED the class CODE_ERRORS lists
    for `code` (the library's gGetLastErrorCode), else `failure`."""
    if status in Status.__members__.values():
        status = Status(status)
    if code in ErrorCode.__members__.values():
        code = ErrorCode(code)
    if status == Status.OUT_OF_MEMORY:
        return EngineOutOfMemoryError(status, message, operation, code)
    return CODE_ERRORS.get(code, failure)(status, message, operation, code)

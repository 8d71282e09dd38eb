"""FFmpeg's log lines, in Python's logging: the "clipwalk.ffmpeg" logger, a child of
"clipwalk". They wait in the compiled module, from whichever thread FFmpeg logged them on,
until the next call on a video takes them in."""

import logging

from . import _clipwalk

logger = logging.getLogger("clipwalk.ffmpeg")

# FFmpeg's levels (libavutil/log.h) and the logging levels they become.
_PANIC, _FATAL, _ERROR, _WARNING, _INFO, _VERBOSE, _DEBUG = 0, 8, 16, 24, 32, 40, 48


def _python_level(level):
    if level <= _FATAL:
        return logging.CRITICAL
    if level <= _ERROR:
        return logging.ERROR
    if level <= _WARNING:
        return logging.WARNING
    if level <= _INFO:
        return logging.INFO
    return logging.DEBUG


def _ffmpeg_threshold():
    """The most verbose FFmpeg level the logger would show: nothing finer is kept."""
    for threshold in (_DEBUG, _INFO, _WARNING, _ERROR):
        if logger.isEnabledFor(_python_level(threshold)):
            return threshold
    return _FATAL


def start():
    """From now on FFmpeg's lines go to the logger rather than to standard error."""
    _clipwalk.forward_log(_ffmpeg_threshold())


def drain():
    """Hands the lines waiting to the logger, and sets what is kept from now on."""
    lines, dropped = _clipwalk.take_log_lines()
    for level, line in lines:
        logger.log(_python_level(level), "%s", line)
    if dropped:
        logger.warning("%d more FFmpeg lines were dropped", dropped)
    _clipwalk.forward_log(_ffmpeg_threshold())

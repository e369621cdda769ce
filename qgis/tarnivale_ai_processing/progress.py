"""Keeping the Processing feedback up to date while the library works, and cancelling what can be cancelled.

Feedback is only touched on the algorithm's own thread: the library's progress callbacks (from its worker
thread) only record the latest figures, which this thread relays."""

import threading
import time

from .library import tarnivale_ai

TERMINAL_STATES = ("completed", "failed", "cancelled")


class _Relay:
    """Shows a percent and message on the feedback when they change."""

    def __init__(self, feedback):
        self.feedback = feedback
        self.shown = None

    def show(self, percent, message):
        if (percent, message) != self.shown:
            self.shown = (percent, message)
            self.feedback.setProgress(percent)
            if message:
                self.feedback.setProgressText(message)


def run_synchronous(call, feedback):
    """Runs call(progress) on a thread of its own and returns its result (or raises its exception).

    The library's synchronous runs have no cancellation input, so a cancelled run is still waited for;
    it is the caller's to discard its output and report the cancellation."""
    latest = [0, ""]
    lock = threading.Lock()
    outcome = {}
    done = threading.Event()

    def progress(completed_tiles, total_tiles, percent, message):
        with lock:
            latest[:] = [percent, message]

    def work():
        try:
            outcome["result"] = call(progress)
        except BaseException as error:  # noqa: BLE001 - handed to the waiting thread
            outcome["error"] = error
        finally:
            done.set()

    relay = _Relay(feedback)
    threading.Thread(target=work, name="tarnivale-ai run", daemon=True).start()
    warned = False
    while not done.wait(0.1):
        with lock:
            relay.show(*latest)
        if feedback.isCanceled() and not warned:
            warned = True
            feedback.pushInfo("This run cannot be interrupted: it is discarded once it ends.")
    relay.show(*latest)  # the last figures too, however short the run
    if "error" in outcome:
        raise outcome["error"]
    return outcome["result"]


def follow_task(task, feedback, interval=0.05):
    """Polls a started task until it ends, relaying its percent and message; a cancelled feedback cancels
    the task once, and the task's own end ("cancelled") is still waited for. Returns the final status."""
    relay = _Relay(feedback)
    cancelling = False
    while True:
        status = task.status()
        relay.show(status.get("percent", 0), status.get("message", ""))
        if status.get("state") in TERMINAL_STATES:
            return status
        if feedback.isCanceled() and not cancelling:
            cancelling = True
            feedback.pushInfo("Cancelling the task...")
            try:
                task.cancel()
            except tarnivale_ai().TarnivaleError:
                pass  # it ended meanwhile; the next status says how
        time.sleep(interval)

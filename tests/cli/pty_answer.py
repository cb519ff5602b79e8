#!/usr/bin/env python3
"""Runs a command on a terminal of its own and answers its prompts.

    pty_answer.py [--answer PROMPT TEXT]... -- COMMAND [ARG]...

Each answer waits for PROMPT in the command's output, then for the command
(one of its threads) to block reading its terminal, and types TEXT and Enter. Waiting for the
read matters: a prompt that turns echo off flushes what was typed before
it. Everything the command wrote goes to standard output; the exit status
is the command's (124 when it did not finish within the time limit).
"""
import os
import pty
import select
import sys
import time

LIMIT_SECONDS = 20


def reading_terminal(pid):
    """Whether a thread of the command sits in read() on a terminal."""
    try:
        threads = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return False
    for thread in threads:
        try:
            with open(f"/proc/{pid}/task/{thread}/syscall") as f:
                fields = f.read().split()
            if fields and fields[0] == "0":
                fd = int(fields[1], 16)
                target = os.readlink(f"/proc/{pid}/fd/{fd}")
                if target == "/dev/tty" or target.startswith("/dev/pts/"):
                    return True
        except (OSError, ValueError, IndexError):
            continue
    return False


def main():
    args = sys.argv[1:]
    answers = []
    while args and args[0] == "--answer":
        answers.append((args[1].encode(), args[2].encode()))
        args = args[3:]
    if not args or args[0] != "--":
        sys.exit("usage: pty_answer.py [--answer PROMPT TEXT]... -- COMMAND [ARG]...")
    command = args[1:]

    pid, master = pty.fork()
    if pid == 0:
        os.execvp(command[0], command)

    output = b""
    seen = 0  # output before this offset answered a prompt already
    deadline = time.monotonic() + LIMIT_SECONDS
    status = None
    while time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.02)
        if ready:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                chunk = b""
            if not chunk:
                break
            output += chunk
        if answers:
            prompt, text = answers[0]
            at = output.find(prompt, seen)
            if at >= 0 and reading_terminal(pid):
                os.write(master, text + b"\n")
                seen = at + len(prompt)
                answers.pop(0)
        done, code = os.waitpid(pid, os.WNOHANG)
        if done:
            status = code
            break
    # Whatever is left to read.
    while True:
        ready, _, _ = select.select([master], [], [], 0.1)
        if not ready:
            break
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        output += chunk
    # The terminal closes as the command ends: wait for its status.
    while status is None and time.monotonic() < deadline:
        done, code = os.waitpid(pid, os.WNOHANG)
        if done:
            status = code
        else:
            time.sleep(0.01)
    if status is None:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        sys.stdout.buffer.write(output)
        sys.exit(124)
    sys.stdout.buffer.write(output)
    sys.exit(os.waitstatus_to_exitcode(status))


if __name__ == "__main__":
    main()

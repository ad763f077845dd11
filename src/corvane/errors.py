"""The error the study layer raises for bad input: a file, a flag, a value."""


class StudyError(Exception):
    """Bad input to a study (the command line prints it as one error line, exit status 2)."""


class Interrupted(KeyboardInterrupt):
    """A campaign stopped by Ctrl-C: how many of its trials are done, and where they are kept."""

    def __init__(self, done: int, total: int, out: str | None) -> None:
        super().__init__(done, total, out)
        self.done = done
        self.total = total
        self.out = out

    def __str__(self) -> str:
        kept = f"kept in {self.out}" if self.out else "not kept (use --out DIR to resume)"
        return f"{self.done} of {self.total} trials done, {kept}"

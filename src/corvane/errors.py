"""The error the study layer raises for bad input: a file, a flag, a value."""


class StudyError(Exception):
    """Bad input to a study (the command line prints it as one error line, exit status 2)."""

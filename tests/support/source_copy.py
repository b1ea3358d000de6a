"""Copies of the source tree for tests that run `make dist`, which refuses a checkout with
uncommitted changes: the working tree as it is, without build output or git, or committed afresh."""
import pathlib
import shutil
import subprocess


def copy_sources(source, target):
    """The sources without build output or git, every file with a new modification time."""
    source = pathlib.Path(source)
    ignored_at_top = shutil.ignore_patterns("build*", "dist", ".git")
    ignored_anywhere = shutil.ignore_patterns("__pycache__", ".pytest_cache")

    def ignore(directory, names):
        found = set(ignored_anywhere(directory, names))
        if pathlib.Path(directory) == source:
            found |= ignored_at_top(directory, names)
        return found

    shutil.copytree(source, target, ignore=ignore, copy_function=shutil.copy)


def committed_copy(source, target, epoch, repository=None):
    """copy_sources() committed, dated `epoch`, so that the copy is clean whatever the working tree
    holds uncommitted: as the one commit of a new repository, or in `repository`, a folder that
    holds `target` and becomes the repository."""
    copy_sources(source, target)
    commit(repository or target, epoch)


def commit(repository, epoch):
    """Every change in `repository` committed, dated `epoch`; a new repository if it is none."""
    git = ["git", "-C", str(repository), "-c", "user.name=test", "-c", "user.email=test@invalid"]
    if not pathlib.Path(repository, ".git").exists():
        subprocess.run(git + ["init", "-q"], check=True)
    subprocess.run(git + ["add", "-A"], check=True)
    subprocess.run(git + ["commit", "-q", "-m", "copy", "--date", f"@{epoch}"], check=True,
                   env={"GIT_COMMITTER_DATE": f"@{epoch}", "PATH": "/usr/bin:/bin"})

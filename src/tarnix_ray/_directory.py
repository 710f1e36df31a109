"""A sharded store's directory: its manifest, and replacing a directory whole."""
import ctypes
import errno
import json
import os
import shutil
import tempfile

MANIFEST = "manifest.json"
FORMAT = "tarnix_ray sharded store"
VERSION = 1


def shard_file(index):
    return "shard-%05d.tnx" % index


def write_manifest(directory, vector_size, shard_capacity, counts):
    manifest = {
        "format": FORMAT,
        "version": VERSION,
        "vector_size": vector_size,
        "shard_capacity": shard_capacity,
        "shards": [{"file": shard_file(i), "records": n} for i, n in enumerate(counts)],
    }
    path = os.path.join(directory, MANIFEST)
    with open(path, "w", encoding="utf-8") as out:
        json.dump(manifest, out, indent=1)
        out.write("\n")
        out.flush()
        os.fsync(out.fileno())


def _count(value):
    return type(value) is int and value >= 0


def read_manifest(directory):
    """(vector_size, shard_capacity, record counts) of a saved directory, every field
    checked before anything is sized from it."""
    path = os.path.join(directory, MANIFEST)
    with open(path, "rb") as source:
        text = source.read()

    def refuse(why):
        return ValueError("%s is not a sharded store manifest: %s" % (path, why))

    try:
        manifest = json.loads(text.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as exc:
        raise refuse("not JSON (%s)" % exc) from None
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
        raise refuse("no \"format\": %s" % json.dumps(FORMAT))
    if manifest.get("version") != VERSION:
        raise ValueError("%s has format version %r; this tarnix_ray reads version %d"
                         % (path, manifest.get("version"), VERSION))
    vector_size, capacity, shards = (manifest.get(k) for k in ("vector_size", "shard_capacity", "shards"))
    if not _count(vector_size) or not _count(capacity) or capacity == 0 or not isinstance(shards, list):
        raise refuse("vector_size, shard_capacity or shards missing or out of range")
    counts = []
    for i, shard in enumerate(shards):
        if not isinstance(shard, dict) or shard.get("file") != shard_file(i) or not _count(shard.get("records")):
            raise refuse("shard %d is not {\"file\": \"%s\", \"records\": count}" % (i, shard_file(i)))
        counts.append(shard["records"])
    # Shards fill in order: every one but the last is full, and none is empty.
    if any(n != capacity for n in counts[:-1]) or (counts and not 0 < counts[-1] <= capacity):
        raise refuse("shard record counts %s do not fill shards of %d in order" % (counts, capacity))
    return vector_size, capacity, counts


def check_replaceable(target):
    """Refuses to replace anything but a directory saved here before, or an empty one."""
    if not os.path.lexists(target):
        return
    if not os.path.isdir(target) or os.path.islink(target):
        raise NotADirectoryError(errno.ENOTDIR, "not a directory", target)
    if os.listdir(target) and not os.path.isfile(os.path.join(target, MANIFEST)):
        raise FileExistsError(errno.EEXIST, "a directory that holds no sharded store is not replaced", target)


def fresh_directory_beside(target):
    parent, name = os.path.split(target)
    return tempfile.mkdtemp(prefix="." + name + ".saving-", dir=parent)


def _sync_directory(path):
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


_AT_FDCWD = -100
_RENAME_EXCHANGE = 2


def _exchange(a, b):
    """Swaps two paths in one step (Linux renameat2); False where the system or the file
    system cannot."""
    try:
        renameat2 = ctypes.CDLL(None, use_errno=True).renameat2
    except AttributeError:
        return False
    if renameat2(_AT_FDCWD, os.fsencode(a), _AT_FDCWD, os.fsencode(b), _RENAME_EXCHANGE) == 0:
        return True
    error = ctypes.get_errno()
    if error in (errno.ENOSYS, errno.EINVAL, errno.EOPNOTSUPP):
        return False
    raise OSError(error, os.strerror(error), a, None, b)


def replace_directory(fresh, target):
    """Puts the complete directory `fresh` at `target` and removes what was there.

    Where the system swaps two directories in one step, `target` names the old directory
    or the new one at every instant. Elsewhere the old one is first renamed aside (to a
    name that starts with ".<name>.saving-"); a process that dies between the two renames
    leaves it there, whole.
    """
    parent = os.path.dirname(target)
    _sync_directory(fresh)
    if not os.path.lexists(target):
        os.rename(fresh, target)
        _sync_directory(parent)
        return
    if _exchange(fresh, target):
        old = fresh
    else:
        old = fresh_directory_beside(target)
        os.rmdir(old)
        os.rename(target, old)
        try:
            os.rename(fresh, target)
        except BaseException:
            os.rename(old, target)
            raise
    # The new directory is in place on the disk before the old one's files go.
    _sync_directory(parent)
    shutil.rmtree(old)

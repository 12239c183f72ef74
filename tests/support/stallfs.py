#!/usr/bin/python3
"""stallfs.py BACKING MOUNT CONTROL: mirrors BACKING at MOUNT, a share that can stop
answering, lag, go away or drop a read. For the folder X right below the mount's top,
CONTROL/X.stall makes requests on X and anything inside it wait, CONTROL/X.gone makes
them fail at once (EIO, as when the server goes away: reads of files already open
too), and CONTROL/X.drop makes single reads fail (EIO, as a read does when the server
stops answering longer than the client waits, while the next request finds it again).
What a stall or gone file holds says which requests: nothing, every one; NAME, those
on files of that name; read:NAME, only the reads of their bytes; a number N, every
one from the N-th read below X after the file was written on (the moment a test
cannot hit from outside: inside a copy, at the list's or the record's read). A drop
file names reads: N, the N-th read below X; NAME@K, the K-th read of files of that
name. Each read a fault first holds for, or drops, is added to CONTROL/X.hit as
"KIND PATH". CONTROL/X.latency holds milliseconds every request takes longer.
CONTROL/X.rate holds bytes per second: the reads below X share a line of that speed
(each waits until the line has carried the reads before it and its own bytes).
CONTROL/X.count makes the share count the bytes its reads serve below X from the
moment the file is written (written again, the count starts afresh): CONTROL/X.served
then holds the total on its first line and one line "BYTES PATH" for each file read.
CONTROL/X.flip names reads as X.drop does; each is served with its first byte changed
(a read the server got wrong, which the next read of the same bytes gets right).
CONTROL lies outside the mount, so a test can release a stall it set without touching
the stalled path; a waiting request goes on within 20 ms of the release. Requests run
as trio tasks (pyfuse3), so one waiting request holds no other."""
import errno, functools, inspect, os, stat, sys, traceback
import pyfuse3, trio


def fuse_errors(cls):  # an error becomes the request's reply; the file system goes on
    def wrap(fn):
        @functools.wraps(fn)
        async def op(*args, **kwargs):
            try:
                return await fn(*args, **kwargs)
            except pyfuse3.FUSEError:
                raise
            except OSError as e:
                raise pyfuse3.FUSEError(e.errno) from None
            except Exception:
                traceback.print_exc()
                raise pyfuse3.FUSEError(errno.EIO) from None
        return op
    for name, fn in list(vars(cls).items()):
        if inspect.iscoroutinefunction(fn):
            setattr(cls, name, wrap(fn))
    return cls


def is_server(ctx):
    """Whether the request comes from Wine's server, which opens files for every Wine
    process: a server that waited would freeze them all, where Windows holds only the
    caller. Its requests never wait for a stall (they still lag and fail)."""
    try:
        with open('/proc/%d/comm' % ctx.pid) as f:
            return f.read().startswith('wineserver')
    except (OSError, AttributeError):
        return False


@fuse_errors
class StallFS(pyfuse3.Operations):
    def __init__(self, backing, control):
        super().__init__()
        self.backing, self.control = backing, control
        self.paths = {pyfuse3.ROOT_INODE: backing}  # inode -> backing path
        self.files = {}  # open descriptor -> backing path
        self.tallies = {}  # control file -> what it counted since it was written
        self.lines = {}  # X -> the moment its line is free again (trio clock)

    def tally(self, control, path, counting):
        """What the control file says and has counted since it was written: the reads
        below X, this one included when counting, and those of each file name; None
        without the file."""
        try:
            st = os.stat(control)
            with open(control) as f:
                words = f.read().split()
        except OSError:
            return None
        identity = (st.st_ino, st.st_mtime_ns, st.st_size)
        t = self.tallies.get(control)
        if t is None or t['identity'] != identity:
            t = self.tallies[control] = {'identity': identity, 'reads': 0, 'names': {}, 'hit': False}
        t['words'] = words
        if counting:
            name = os.path.basename(path)
            t['reads'] += 1
            t['names'][name] = t['names'].get(name, 0) + 1
        return t

    def hit(self, control, path):
        base, kind = control.rsplit('.', 1)
        with open(base + '.hit', 'a') as f:
            f.write('%s %s\n' % (kind, path[len(self.backing) + 1:].split('/', 1)[-1]))

    def holds(self, control, path, reading, counting=False):
        """Whether the stall or gone in the control file holds for this request."""
        t = self.tally(control, path, counting)
        if t is None:
            return False
        words, name = t['words'], os.path.basename(path)
        counts = [int(w) for w in words if w.isdigit()]
        held = (not words or name in words or (reading and 'read:' + name in words)
                or (bool(counts) and t['reads'] >= min(counts)))
        if held and not t['hit']:
            t['hit'] = True
            self.hit(control, path)
        return held

    def fail_if_gone(self, control, path, reading, counting=False):
        if self.holds(control + '.gone', path, reading, counting):
            raise pyfuse3.FUSEError(errno.EIO)

    def fail_if_dropped(self, control, path):
        t = self.tally(control + '.drop', path, True)
        name = os.path.basename(path)
        if t is not None and (str(t['reads']) in t['words'] or
                              '%s@%d' % (name, t['names'][name]) in t['words']):
            self.hit(control + '.drop', path)
            raise pyfuse3.FUSEError(errno.EIO)

    def top(self, path):
        return path[len(self.backing) + 1:].split('/', 1)[0]

    async def carry(self, path, data):
        """The read's bytes over X's line, and into X's count; first byte changed when
        X.flip names the read."""
        top = self.top(path)
        if not top:
            return data
        control = os.path.join(self.control, top)
        t = self.tally(control + '.flip', path, True)
        name = os.path.basename(path)
        if data and t is not None and (str(t['reads']) in t['words'] or
                                       '%s@%d' % (name, t['names'][name]) in t['words']):
            self.hit(control + '.flip', path)
            data = bytes([data[0] ^ 0xFF]) + data[1:]
        try:
            with open(control + '.rate') as f:
                rate = int(f.read().strip() or 0)
        except (OSError, ValueError):
            rate = 0
        if rate > 0:
            start = max(trio.current_time(), self.lines.get(top, 0))
            self.lines[top] = start + len(data) / rate
            await trio.sleep_until(self.lines[top])
        t = self.tally(control + '.count', path, False)
        if t is not None:
            served = t.setdefault('served', {})
            below = path[len(self.backing) + 1:].split('/', 1)[-1]
            served[below] = served.get(below, 0) + len(data)
            with open(control + '.served.tmp', 'w') as f:
                f.write('%d\n' % sum(served.values()))
                f.writelines('%d %s\n' % (n, p) for p, n in sorted(served.items()))
            os.replace(control + '.served.tmp', control + '.served')
        return data

    async def gate(self, path, ctx=None, wait=True, reading=False):
        top = path[len(self.backing) + 1:].split('/', 1)[0]
        if not top:
            return  # the share itself never stalls
        control = os.path.join(self.control, top)
        # A read is counted once by each control file, as it comes.
        self.fail_if_gone(control, path, reading, counting=reading)
        stalled = self.holds(control + '.stall', path, reading, counting=reading)
        if reading:
            self.fail_if_dropped(control, path)
        if wait and stalled and not is_server(ctx):
            while self.holds(control + '.stall', path, reading):
                await trio.sleep(0.02)
                self.fail_if_gone(control, path, reading)
        try:
            with open(control + '.latency') as f:
                await trio.sleep(int(f.read().strip() or 0) / 1000)
        except (OSError, ValueError):
            pass
        self.fail_if_gone(control, path, reading)  # the server gone while the request was under way

    async def at(self, inode, name=None, ctx=None, wait=True):
        path = self.paths[inode] if name is None else os.path.join(self.paths[inode], os.fsdecode(name))
        await self.gate(path, ctx, wait)
        return path

    def attrs(self, path, fd=None):
        st = os.lstat(path) if fd is None else os.fstat(fd)
        a = pyfuse3.EntryAttributes()
        for k in ('st_mode', 'st_nlink', 'st_uid', 'st_gid', 'st_rdev', 'st_size', 'st_blksize',
                  'st_blocks', 'st_atime_ns', 'st_mtime_ns', 'st_ctime_ns'):
            setattr(a, k, getattr(st, k))
        a.st_ino = pyfuse3.ROOT_INODE if path == self.backing else st.st_ino
        a.entry_timeout = a.attr_timeout = 0  # the kernel asks again each time: no access skips the gate
        self.paths[a.st_ino] = path
        return a

    def opened(self, fd, path):
        self.files[fd] = path
        return pyfuse3.FileInfo(fh=fd, direct_io=True)  # every read reaches the gate

    async def lookup(self, parent, name, ctx):
        # The kernel holds the share folder's lock through a lookup in it (libfuse 3.14 does
        # not ask for parallel lookups), so a waiting lookup of X would stall every other X.
        # It answers at once (or fails, X gone); the attributes, the listing and
        # everything below X still wait.
        return self.attrs(await self.at(parent, name, ctx, wait=parent != pyfuse3.ROOT_INODE))

    async def getattr(self, inode, ctx): return self.attrs(await self.at(inode, ctx=ctx))
    async def readlink(self, inode, ctx): return os.fsencode(os.readlink(await self.at(inode, ctx=ctx)))
    async def access(self, inode, mode, ctx): return os.access(await self.at(inode, ctx=ctx), mode)
    async def opendir(self, inode, ctx): return inode
    async def releasedir(self, fh): pass

    async def readdir(self, inode, start, token):
        path = await self.at(inode)
        names = sorted(os.listdir(path))
        for i, name in enumerate(names[start:], start + 1):
            if not pyfuse3.readdir_reply(token, os.fsencode(name), self.attrs(os.path.join(path, name)), i):
                break

    async def setattr(self, inode, attr, fields, fh, ctx):
        path = await self.at(inode, ctx=ctx)
        if fields.update_size:
            os.truncate(path if fh is None else fh, attr.st_size)
        if fields.update_mode:
            os.chmod(path, stat.S_IMODE(attr.st_mode))
        if fields.update_uid or fields.update_gid:
            os.chown(path, attr.st_uid if fields.update_uid else -1, attr.st_gid if fields.update_gid else -1)
        if fields.update_atime or fields.update_mtime:
            st = os.lstat(path)
            os.utime(path, ns=(attr.st_atime_ns if fields.update_atime else st.st_atime_ns,
                               attr.st_mtime_ns if fields.update_mtime else st.st_mtime_ns), follow_symlinks=False)
        return self.attrs(path)

    async def open(self, inode, flags, ctx):
        path = await self.at(inode, ctx=ctx)
        return self.opened(os.open(path, flags), path)

    async def create(self, parent, name, mode, flags, ctx):
        path = await self.at(parent, name, ctx=ctx)
        fd = os.open(path, flags | os.O_CREAT, mode)
        return self.opened(fd, path), self.attrs(path, fd)

    async def read(self, fh, off, size):
        await self.gate(self.files[fh], reading=True)
        return await self.carry(self.files[fh], os.pread(fh, size, off))

    async def write(self, fh, off, buf):
        await self.gate(self.files[fh])
        return os.pwrite(fh, buf, off)

    # A close never waits nor fails: Wine's server itself closes the files of a process
    # that ends, and a close that waited there would freeze every Wine process, as no
    # share that stops answering freezes Windows.
    async def flush(self, fh): pass
    async def fsync(self, fh, datasync): await self.gate(self.files[fh]); os.fsync(fh)

    async def release(self, fh):
        os.close(fh)
        del self.files[fh]

    async def mkdir(self, parent, name, mode, ctx):
        path = await self.at(parent, name, ctx=ctx)
        os.mkdir(path, mode)
        return self.attrs(path)

    async def rmdir(self, parent, name, ctx): os.rmdir(await self.at(parent, name, ctx=ctx))
    async def unlink(self, parent, name, ctx): os.unlink(await self.at(parent, name, ctx=ctx))

    async def rename(self, parent_old, name_old, parent_new, name_new, flags, ctx):
        old, new = await self.at(parent_old, name_old, ctx=ctx), await self.at(parent_new, name_new, ctx=ctx)
        if flags & pyfuse3.RENAME_EXCHANGE:
            raise pyfuse3.FUSEError(errno.EINVAL)
        if flags & pyfuse3.RENAME_NOREPLACE and os.path.lexists(new):
            raise pyfuse3.FUSEError(errno.EEXIST)
        os.rename(old, new)
        for inode, path in list(self.paths.items()):  # what the kernel knows moved along
            if path == old or path.startswith(old + '/'):
                self.paths[inode] = new + path[len(old):]

    async def link(self, inode, parent, name, ctx):
        path = await self.at(parent, name, ctx=ctx)
        os.link(await self.at(inode, ctx=ctx), path)
        return self.attrs(path)

    async def symlink(self, parent, name, target, ctx):
        path = await self.at(parent, name, ctx=ctx)
        os.symlink(os.fsdecode(target), path)
        return self.attrs(path)

    async def statfs(self, ctx):
        st, s = os.statvfs(self.backing), pyfuse3.StatvfsData()
        for k in ('f_bsize', 'f_frsize', 'f_blocks', 'f_bfree', 'f_bavail', 'f_files', 'f_ffree', 'f_favail', 'f_namemax'):
            setattr(s, k, getattr(st, k))
        return s

    async def getxattr(self, inode, name, ctx): return os.getxattr(await self.at(inode, ctx=ctx), name, follow_symlinks=False)
    async def listxattr(self, inode, ctx): return [os.fsencode(n) for n in os.listxattr(await self.at(inode, ctx=ctx), follow_symlinks=False)]
    async def setxattr(self, inode, name, value, ctx): os.setxattr(await self.at(inode, ctx=ctx), name, value, follow_symlinks=False)
    async def removexattr(self, inode, name, ctx): os.removexattr(await self.at(inode, ctx=ctx), name, follow_symlinks=False)


if __name__ == '__main__':
    backing, mount, control = (os.path.abspath(a) for a in sys.argv[1:4])
    pyfuse3.init(StallFS(backing, control), mount, set(pyfuse3.default_options) | {'fsname=stallfs'})
    try:
        trio.run(pyfuse3.main, 1, 1000)  # up to 1000 requests at once, each its own task
    finally:
        pyfuse3.close(unmount=False)  # the scripts unmount (lazily, even while a request waits)

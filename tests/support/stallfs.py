#!/usr/bin/python3
"""stallfs.py BACKING MOUNT CONTROL: mirrors BACKING at MOUNT, a share that can stop
answering or lag. Every request on the folder X right below the mount's top and on
anything inside it waits while CONTROL/X.stall exists (when the file names files,
one a line, only requests on files of those names wait, and for read:NAME only
the reads of their bytes), and takes the
milliseconds written in CONTROL/X.latency longer. CONTROL lies outside the mount, so a test can
release a stall it set without touching the stalled path; a waiting request goes on
within 20 ms of the release. Requests run as trio tasks (pyfuse3), so one waiting
request holds no other."""
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


@fuse_errors
class StallFS(pyfuse3.Operations):
    def __init__(self, backing, control):
        super().__init__()
        self.backing, self.control = backing, control
        self.paths = {pyfuse3.ROOT_INODE: backing}  # inode -> backing path
        self.files = {}  # open descriptor -> backing path

    async def gate(self, path, reading=False):
        top = path[len(self.backing) + 1:].split('/', 1)[0]
        if not top:
            return  # the share itself never stalls
        control = os.path.join(self.control, top)
        while self.stalled(control + '.stall', path, reading):
            await trio.sleep(0.02)
        try:
            with open(control + '.latency') as f:
                await trio.sleep(int(f.read().strip() or 0) / 1000)
        except (OSError, ValueError):
            pass

    @staticmethod
    def stalled(control, path, reading=False):
        # An empty X.stall holds all of X; NAME holds every request on files of that
        # name, read:NAME only the reads of their bytes.
        try:
            with open(control) as f:
                names = f.read().split()
        except OSError:
            return False
        name = os.path.basename(path)
        return not names or name in names or (reading and 'read:' + name in names)

    async def at(self, inode, name=None, gate=True):
        path = self.paths[inode] if name is None else os.path.join(self.paths[inode], os.fsdecode(name))
        if gate:
            await self.gate(path)
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
        # It answers at once; the attributes, the listing and everything below X still wait.
        return self.attrs(await self.at(parent, name, gate=parent != pyfuse3.ROOT_INODE))

    async def getattr(self, inode, ctx): return self.attrs(await self.at(inode))
    async def readlink(self, inode, ctx): return os.fsencode(os.readlink(await self.at(inode)))
    async def access(self, inode, mode, ctx): return os.access(await self.at(inode), mode)
    async def opendir(self, inode, ctx): return inode
    async def releasedir(self, fh): pass

    async def readdir(self, inode, start, token):
        path = await self.at(inode)
        names = sorted(os.listdir(path))
        for i, name in enumerate(names[start:], start + 1):
            if not pyfuse3.readdir_reply(token, os.fsencode(name), self.attrs(os.path.join(path, name)), i):
                break

    async def setattr(self, inode, attr, fields, fh, ctx):
        path = await self.at(inode)
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
        path = await self.at(inode)
        return self.opened(os.open(path, flags), path)

    async def create(self, parent, name, mode, flags, ctx):
        path = await self.at(parent, name)
        fd = os.open(path, flags | os.O_CREAT, mode)
        return self.opened(fd, path), self.attrs(path, fd)

    async def read(self, fh, off, size):
        await self.gate(self.files[fh], reading=True)
        return os.pread(fh, size, off)

    async def write(self, fh, off, buf):
        await self.gate(self.files[fh])
        return os.pwrite(fh, buf, off)

    # A close never waits: Wine's server itself closes the files of a process that
    # ends, and a close that waited there would freeze every Wine process, as no
    # share that stops answering freezes Windows.
    async def flush(self, fh): pass
    async def fsync(self, fh, datasync): await self.gate(self.files[fh]); os.fsync(fh)

    async def release(self, fh):
        os.close(fh)
        del self.files[fh]

    async def mkdir(self, parent, name, mode, ctx):
        path = await self.at(parent, name)
        os.mkdir(path, mode)
        return self.attrs(path)

    async def rmdir(self, parent, name, ctx): os.rmdir(await self.at(parent, name))
    async def unlink(self, parent, name, ctx): os.unlink(await self.at(parent, name))

    async def rename(self, parent_old, name_old, parent_new, name_new, flags, ctx):
        old, new = await self.at(parent_old, name_old), await self.at(parent_new, name_new)
        if flags & pyfuse3.RENAME_EXCHANGE:
            raise pyfuse3.FUSEError(errno.EINVAL)
        if flags & pyfuse3.RENAME_NOREPLACE and os.path.lexists(new):
            raise pyfuse3.FUSEError(errno.EEXIST)
        os.rename(old, new)
        for inode, path in list(self.paths.items()):  # what the kernel knows moved along
            if path == old or path.startswith(old + '/'):
                self.paths[inode] = new + path[len(old):]

    async def link(self, inode, parent, name, ctx):
        path = await self.at(parent, name)
        os.link(await self.at(inode), path)
        return self.attrs(path)

    async def symlink(self, parent, name, target, ctx):
        path = await self.at(parent, name)
        os.symlink(os.fsdecode(target), path)
        return self.attrs(path)

    async def statfs(self, ctx):
        st, s = os.statvfs(self.backing), pyfuse3.StatvfsData()
        for k in ('f_bsize', 'f_frsize', 'f_blocks', 'f_bfree', 'f_bavail', 'f_files', 'f_ffree', 'f_favail', 'f_namemax'):
            setattr(s, k, getattr(st, k))
        return s

    async def getxattr(self, inode, name, ctx): return os.getxattr(await self.at(inode), name, follow_symlinks=False)
    async def listxattr(self, inode, ctx): return [os.fsencode(n) for n in os.listxattr(await self.at(inode), follow_symlinks=False)]
    async def setxattr(self, inode, name, value, ctx): os.setxattr(await self.at(inode), name, value, follow_symlinks=False)
    async def removexattr(self, inode, name, ctx): os.removexattr(await self.at(inode), name, follow_symlinks=False)


if __name__ == '__main__':
    backing, mount, control = (os.path.abspath(a) for a in sys.argv[1:4])
    pyfuse3.init(StallFS(backing, control), mount, set(pyfuse3.default_options) | {'fsname=stallfs'})
    try:
        trio.run(pyfuse3.main, 1, 1000)  # up to 1000 requests at once, each its own task
    finally:
        pyfuse3.close(unmount=False)  # the scripts unmount (lazily, even while a request waits)

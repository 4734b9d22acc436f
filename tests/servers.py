"""Servers on loopback for the remote-reading tests: HTTP with byte ranges,
and (in test modules that need it) an S3 API server."""

import contextlib
import http.server
import re
import threading


class RangeServer(http.server.ThreadingHTTPServer):
    """Serves files from memory on 127.0.0.1, honouring byte ranges, and
    logs each GET's (path, first byte, bytes sent)."""

    def __init__(self, files, honour_ranges=True):
        self.files = files
        self.honour_ranges = honour_ranges
        self.log = []
        super().__init__(("127.0.0.1", 0), RangeHandler)

    def url(self, name):
        return f"http://127.0.0.1:{self.server_address[1]}/{name}"

    def start(self):
        threading.Thread(target=self.serve_forever, kwargs={"poll_interval": 0.02}, daemon=True).start()
        return self

    def stop(self):
        self.shutdown()
        self.server_close()


class RangeHandler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def _data(self):
        data = self.server.files.get(self.path.lstrip("/"))
        if data is None:
            self.send_error(404)
        return data

    def do_HEAD(self):
        data = self._data()
        if data is not None:
            self.send_response(200)
            self.send_header("Content-Length", str(len(data)))
            self.send_header("Accept-Ranges", "bytes")
            self.end_headers()

    def do_GET(self):
        data = self._data()
        if data is None:
            return
        match = re.fullmatch(r"bytes=(\d*)-(\d*)", self.headers.get("Range", ""))
        if not match or not self.server.honour_ranges:
            self.server.log.append((self.path, 0, len(data)))
            self.send_response(200)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)
            return
        first, last = match.groups()
        if first == "":
            start, end = max(0, len(data) - int(last)), len(data) - 1
        else:
            start, end = int(first), min(int(last) if last else len(data) - 1, len(data) - 1)
        body = data[start:end + 1]
        self.server.log.append((self.path, start, len(body)))
        self.send_response(206)
        self.send_header("Content-Range", f"bytes {start}-{end}/{len(data)}")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


@contextlib.contextmanager
def s3_bucket(bucket):
    """A bucket on an S3 API server (moto) on 127.0.0.1 with dummy
    credentials; yields an s3fs filesystem and the storage options that
    reach the server."""
    from moto.server import ThreadedMotoServer
    import s3fs

    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    try:
        host, port = server.get_host_and_port()
        options = {"key": "testing", "secret": "testing", "skip_instance_cache": True,
                   "client_kwargs": {"endpoint_url": f"http://{host}:{port}", "region_name": "eu-west-1"}}
        fs = s3fs.S3FileSystem(**options)
        fs.mkdir(bucket)
        yield fs, options
    finally:
        server.stop()

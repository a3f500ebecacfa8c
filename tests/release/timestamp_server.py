"""A local RFC 3161 time-stamp server for the signing test: answers each POSTed query with
`openssl ts -reply` under the configuration file given as the only argument. Prints the port it
listens on (127.0.0.1, chosen by the system) as its first line, then serves until killed."""
import http.server
import pathlib
import subprocess
import sys
import tempfile


class TimeStampHandler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        # openssl ts reads the query and writes the reply as files (not pipes) reliably.
        with tempfile.TemporaryDirectory() as folder:
            query, reply = pathlib.Path(folder, "q.tsq"), pathlib.Path(folder, "r.tsr")
            query.write_bytes(self.rfile.read(int(self.headers["Content-Length"])))
            done = subprocess.run(["openssl", "ts", "-reply", "-config", sys.argv[1],
                                   "-queryfile", query, "-out", reply], capture_output=True)
            if done.returncode != 0 or not reply.exists():
                sys.stderr.write(done.stderr.decode(errors="replace"))
                return self.send_error(500, "openssl ts -reply failed")
            body = reply.read_bytes()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


server = http.server.HTTPServer(("127.0.0.1", 0), TimeStampHandler)
print(server.server_port, flush=True)
server.serve_forever()

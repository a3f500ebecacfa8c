"""A local RFC 3161 time-stamp server for the signing test: answers each POSTed query with
`openssl ts -reply` under the configuration file given as the only argument. Prints the port it
listens on (127.0.0.1, chosen by the system) as its first line, then serves until killed."""
import http.server
import os
import subprocess
import sys
import tempfile


class TimeStampHandler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        # openssl ts reads the query and writes the reply as files (not pipes) reliably.
        with tempfile.TemporaryDirectory() as folder:
            query_file, reply_file = os.path.join(folder, "q.tsq"), os.path.join(folder, "r.tsr")
            with open(query_file, "wb") as out:
                out.write(query)
            done = subprocess.run(["openssl", "ts", "-reply", "-config", sys.argv[1],
                                   "-queryfile", query_file, "-out", reply_file],
                                  capture_output=True)
            if done.returncode != 0 or not os.path.exists(reply_file):
                sys.stderr.write(done.stderr.decode(errors="replace"))
                return self.send_error(500, "openssl ts -reply failed")
            with open(reply_file, "rb") as reply_in:
                reply = reply_in.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)


server = http.server.HTTPServer(("127.0.0.1", 0), TimeStampHandler)
print(server.server_port, flush=True)
server.serve_forever()

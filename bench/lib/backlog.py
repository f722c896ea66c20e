# The backlog the follower's benchmarks read: nine debug records, then a
# seven-line error record, repeated, as the library writes them. One place,
# so that figures of different scripts are of the same mix of records.


def write_backlog(path, records):
    with open(path, "w") as out:
        s = "4711\t2026/12/06\t17:05:09:"
        for i in range(records):
            if i % 10 == 9:
                out.write(f"{s}1\tReason=record {i}\n{s}1\tComputerName=host1\n{s}1\tOS=6.1.0\n"
                          f"{s}1\tFile=w.cpp,Line=42\n{s}1\tVendorID=3 [Brakka]\n"
                          f"{s}1\tVendorError=42 [Disk on fire]\n{s}1\tBrakka=1.0\n")
            else:
                out.write(f"{s}1\tZorvCore\trecord {i}\t\n")

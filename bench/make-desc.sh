#!/usr/bin/env bash
# Writes the description of a bench volume for qm-mkvolume to stdout.
#
#   bench/make-desc.sh files100k     ~100,000 files in 334 folders, every other
#                                    one deleted, $MFT in several fragments
#   bench/make-desc.sh records1m     ~1,000,000 small files in 1,000 folders,
#                                    all deleted but half of the first
#                                    folder's: a list of ~1,000,000 rows
#   bench/make-desc.sh records4m     ~4,000,000 small files in 4,000 folders,
#                                    one in forty deleted (~100,000 rows): how
#                                    the scan grows with the volume
#   bench/make-desc.sh big3g         one 3 GiB file of random bytes, deleted
#   bench/make-desc.sh compressed    eight 4 MiB text files in an NTFS-compressed
#                                    folder (LZNT1 units), deleted
#
# The output is deterministic: the same kind always gives the same volume.
set -euo pipefail

kind=${1:?kind: files100k, records1m, records4m, big3g or compressed}

case "$kind" in
files100k)
    # A first folder made by mftfill: small files with 64 KiB ones between
    # them, so that data clusters land behind the MFT while it grows and the
    # MFT ends up in more than one piece. Then 333 folders of 300 files with
    # sizes from 0 to 12 KiB (about 6 KiB on average, resident below ~700 bytes).
    awk 'BEGIN {
        srand(20240611)
        print "volume 4G label=bench100k seed=11"
        print "mftfill /fill count=2000 every=100 small=2K big=64K delete-every=2"
        n = 0
        for (d = 1; d <= 333; d++) {
            printf "dir /d%03d\n", d
            for (f = 0; f < 294; f++) {
                n++
                printf "file /d%03d/f%06d.dat %d\n", d, n, int(rand() * 12288)
                if (n % 2 == 0) del[++nd] = sprintf("/d%03d/f%06d.dat", d, n)
            }
        }
        for (i = 1; i <= nd; i++) print "delete " del[i]
    }'
    ;;
records1m)
    # Mostly resident files (0 to 600 bytes) so that the image stays small.
    # Nearly all are deleted, so that the window lists about a million rows.
    awk 'BEGIN {
        srand(20240612)
        print "volume 8G label=bench1m seed=12"
        print "mftfill /fill count=2000 every=100 small=2K big=64K delete-every=2"
        n = 0
        for (d = 1; d <= 998; d++) {
            printf "dir /d%04d\n", d
            for (f = 0; f < 1000; f++) {
                n++
                printf "text /d%04d/f%07d.txt %d\n", d, n, int(rand() * 600)
                del[++nd] = sprintf("/d%04d/f%07d.txt", d, n)
            }
        }
        for (i = 1; i <= nd; i++) print "delete " del[i]
    }'
    ;;
records4m)
    # Like records1m, four times the records, with a fortieth of them deleted
    # so that the rows held stay about as many as on files100k.
    awk 'BEGIN {
        srand(20240613)
        print "volume 16G label=bench4m seed=14"
        print "mftfill /fill count=2000 every=100 small=2K big=64K delete-every=2"
        n = 0
        for (d = 1; d <= 3998; d++) {
            printf "dir /d%04d\n", d
            for (f = 0; f < 1000; f++) {
                n++
                printf "text /d%04d/f%07d.txt %d\n", d, n, int(rand() * 600)
                if (n % 40 == 0) del[++nd] = sprintf("/d%04d/f%07d.txt", d, n)
            }
        }
        for (i = 1; i <= nd; i++) print "delete " del[i]
    }'
    ;;
big3g)
    printf 'volume 4G label=bench3g seed=13\nfile /big.bin 3G\ndelete /big.bin\n'
    ;;
compressed)
    # 4 MiB each: a compressed file has two runs a unit, and one record holds
    # the runs of about 4 MiB.
    printf 'volume 256M label=benchlz seed=14\ndir /packed compressed\n'
    for i in 1 2 3 4 5 6 7 8; do printf 'text /packed/t%d.txt 4M\n' "$i"; done
    for i in 1 2 3 4 5 6 7 8; do printf 'delete /packed/t%d.txt\n' "$i"; done
    ;;
*)
    echo "unknown kind $kind" >&2
    exit 2
    ;;
esac

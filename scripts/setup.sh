#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for building and testing zelk;
# does nothing (quickly) when everything is present.
set -euo pipefail
PYTHON=${PYTHON:-python3}

apt_packages=(zlib1g-dev "$@")
missing=()
for package in "${apt_packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing Debian packages: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The Dask, fsspec and S3 packages serve zelk.dask and the remote-reading
# tests (a local cluster, an HTTP server and an S3 API server on loopback).
if ! "$PYTHON" -c 'import pytest, crc32c, xxhash, cmake, ninja, mypy, dask.dataframe, distributed, fsspec, s3fs, moto.server, pyarrow, pandas, aiohttp, requests' >/dev/null 2>&1; then
  echo "installing Python packages"
  "$PYTHON" -m pip install -q "pytest>=7" "crc32c>=2.3" "xxhash>=3" "cmake>=3.26" ninja "mypy>=1" \
    "dask[dataframe]>=2024.1" "distributed>=2024.1" "fsspec>=2024.1" "s3fs>=2024.1" "moto[server]>=5" \
    "pyarrow>=14" "pandas>=2.1" aiohttp requests
fi

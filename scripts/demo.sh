#!/usr/bin/env bash
echo "demo not ready"

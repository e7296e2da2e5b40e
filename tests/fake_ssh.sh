#!/usr/bin/env bash
# Stands in for ssh in the tests: drops ssh's options and the host name and
# runs the remote command with bash in $FAKE_REMOTE_HOME, the "login folder"
# every fake machine shares. rsync can use it as its remote shell too.
while [ $# -gt 0 ]; do
  case $1 in
    -[bcDEeFIiJLlmOopQRSWw]) shift 2 ;;
    --) shift; break ;;
    -*) shift ;;
    *) break ;;
  esac
done
shift                       # the host
[ "${1:-}" = -- ] && shift
cd "${FAKE_REMOTE_HOME:?}" || exit 255
exec bash -c "$*"

#!/usr/bin/env bash
# Stands in for ssh in the tests: drops ssh's options and the host name and
# runs the remote command with bash in $FAKE_REMOTE_HOME, the home folder
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
# A login starts in the user's home with HOME and SHELL set; GNU parallel's
# side of the command needs both.
cd "${FAKE_REMOTE_HOME:?}" || exit 255
HOME=$FAKE_REMOTE_HOME SHELL=/bin/bash exec bash -c "$*"

function argument_count (caller, count, least, most)
%ARGUMENT_COUNT  Refuse a call of a toolbox function with too few or too many inputs.
%   ARGUMENT_COUNT (CALLER, COUNT, LEAST, MOST) raises TILEVISTA:argumentCount
%   when COUNT (the caller's nargin) is below LEAST or above MOST. CALLER
%   names the public function in the message.

  if count >= least && count <= most
    return;
  end
  if least == most
    wanted = sprintf ('%d', least);
  else
    wanted = sprintf ('%d to %d', least, most);
  end
  error ('TILEVISTA:argumentCount', '%s: takes %s inputs; it was given %d', ...
         caller, wanted, count);
end
